// Common ground of the natives tests: the loaded library, a fresh fake JNI
// environment per test, and short ways to call the natives through it.
#ifndef PDX_TESTS_NATIVES_FIXTURE_H
#define PDX_TESTS_NATIVES_FIXTURE_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_jni_env.h"
#include "natives_library.h"

class NativesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        lib = LoadNativesLibrary(&error);
        ASSERT_NE(lib, nullptr) << error;
    }

    JNIEnv* env() { return jni.env(); }
    // The natives never look at their second argument.
    jclass cls() { return nullptr; }

    std::vector<jint> Read(jlong handle, jlong pipe, jlong length) {
        jintArray array = lib->read(env(), cls(), handle, pipe, length);
        EXPECT_NE(array, nullptr);
        return array == nullptr ? std::vector<jint>() : jni.Elements(array);
    }
    std::vector<jint> ReadImmediate(jlong handle) {
        jintArray array = lib->readImmediate(env(), cls(), handle);
        EXPECT_NE(array, nullptr);
        return array == nullptr ? std::vector<jint>() : jni.Elements(array);
    }
    jlong Write(jlong handle, jlong pipe, const std::vector<jint>& data) {
        return lib->write(env(), cls(), handle, pipe, jni.NewArray(data));
    }
    std::u16string SerialNumber(jlong handle) {
        jstring serial = lib->getSerialNumber(env(), cls(), handle);
        EXPECT_NE(serial, nullptr);
        return serial == nullptr ? std::u16string() : jni.String(serial)->units;
    }

    const NativesLibrary* lib = nullptr;
    FakeJniEnv jni;
};

#endif
