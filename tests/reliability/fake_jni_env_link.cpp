// The hand-made JNI environment of the natives tests, built into this area's
// programs as well, so that the natives can be called with bad arguments
// directly through their C symbols.
#include "../jni/fake_jni_env.cpp"
