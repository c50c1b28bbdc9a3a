// A hand-made JNI environment for calling the natives without a JVM. Its
// function table implements only the seven functions the natives may use;
// every other entry aborts with the entry's index, so any other use fails
// loudly. Arrays and strings are plain objects owned by the environment; each
// call is logged, and each constructor can be made to fail as a VM out of
// memory would (returning null).
#ifndef PDX_TESTS_FAKE_JNI_ENV_H
#define PDX_TESTS_FAKE_JNI_ENV_H

#include <deque>
#include <string>
#include <vector>

#include <jni.h>

struct FakeIntArray {
    std::vector<jint> elements;
    int elements_out = 0;  // GetIntArrayElements not yet released
};

struct FakeString {
    std::u16string units;  // from NewString
    std::string utf;       // from NewStringUTF
    bool from_utf = false;
};

class FakeJniEnv {
public:
    FakeJniEnv();
    FakeJniEnv(const FakeJniEnv&) = delete;
    FakeJniEnv& operator=(const FakeJniEnv&) = delete;

    JNIEnv* env() { return &holder_.env; }

    jintArray NewArray(const std::vector<jint>& elements);
    FakeIntArray* Array(jintArray array) const { return reinterpret_cast<FakeIntArray*>(array); }
    FakeString* String(jstring string) const { return reinterpret_cast<FakeString*>(string); }
    // Elements of an array the natives returned (which must not be null).
    std::vector<jint> Elements(jintArray array) const { return Array(array)->elements; }

    // Makes the constructors or GetIntArrayElements return null.
    bool fail_new_int_array = false;
    bool fail_new_string = false;
    bool fail_new_string_utf = false;
    bool fail_get_elements = false;

    // One entry per call, e.g. "NewIntArray(4)", "SetIntArrayRegion(0,4)",
    // "ReleaseIntArrayElements(mode 0)".
    std::vector<std::string> calls;
    // Elements handed out and not yet released, over all arrays.
    int elements_out = 0;

private:
    struct Holder {
        JNIEnv env;  // first, so the JNIEnv* the natives get leads back here
        FakeJniEnv* owner;
    };
    static FakeJniEnv* Owner(JNIEnv* env) { return reinterpret_cast<Holder*>(env)->owner; }
    void Log(const std::string& call);

    static jsize JNICALL GetArrayLength(JNIEnv* env, jarray array);
    static jint* JNICALL GetIntArrayElements(JNIEnv* env, jintArray array, jboolean* is_copy);
    static void JNICALL ReleaseIntArrayElements(JNIEnv* env, jintArray array, jint* elements, jint mode);
    static jintArray JNICALL NewIntArray(JNIEnv* env, jsize length);
    static void JNICALL SetIntArrayRegion(JNIEnv* env, jintArray array, jsize start, jsize length, const jint* buffer);
    static jstring JNICALL NewString(JNIEnv* env, const jchar* units, jsize length);
    static jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf);

    JNINativeInterface_ table_;
    Holder holder_;
    std::deque<FakeIntArray> arrays_;
    std::deque<FakeString> strings_;
};

#endif
