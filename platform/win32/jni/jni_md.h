/* JNI machine-dependent definitions for Windows, 32-bit and x64 alike. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* Exports come from pdxkit.def alone, so names stay undecorated. */
#define JNIEXPORT
#define JNIIMPORT __declspec(dllimport)
/* JNI calls are __stdcall on 32-bit Windows; x64 has one convention only. */
#if defined(_WIN64)
#define JNICALL
#else
#define JNICALL __stdcall
#endif

/* long is 32 bits on both (LLP64 on x64). */
typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
