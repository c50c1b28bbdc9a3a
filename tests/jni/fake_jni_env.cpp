#include "fake_jni_env.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

namespace {

constexpr size_t kTableEntries = sizeof(JNINativeInterface_) / sizeof(void*);

// One distinct trap per table entry, so the message names the entry.
template <size_t Index>
void JNICALL Trap() {
    fprintf(stderr, "the natives called JNI function table entry %u, which they must not use\n", (unsigned)Index);
    fflush(stderr);
    abort();
}

template <size_t... Index>
void FillTraps(void** entries, std::index_sequence<Index...>) {
    ((entries[Index] = reinterpret_cast<void*>(&Trap<Index>)), ...);
}

// Element buffers handed out by GetIntArrayElements: copies, as a VM that
// copies would hand out, so that a release with the wrong mode or pointer
// shows.
struct ElementsHeader {
    FakeIntArray* array;
    size_t count;
};

}  // namespace

FakeJniEnv::FakeJniEnv() {
    static_assert(sizeof(JNINativeInterface_) % sizeof(void*) == 0, "the table holds only pointers");
    FillTraps(reinterpret_cast<void**>(&table_), std::make_index_sequence<kTableEntries>());
    table_.GetArrayLength = &GetArrayLength;
    table_.GetIntArrayElements = &GetIntArrayElements;
    table_.ReleaseIntArrayElements = &ReleaseIntArrayElements;
    table_.NewIntArray = &NewIntArray;
    table_.SetIntArrayRegion = &SetIntArrayRegion;
    table_.NewString = &NewString;
    table_.NewStringUTF = &NewStringUTF;
    holder_.env.functions = &table_;
    holder_.owner = this;
}

jintArray FakeJniEnv::NewArray(const std::vector<jint>& elements) {
    arrays_.emplace_back();
    arrays_.back().elements = elements;
    return reinterpret_cast<jintArray>(&arrays_.back());
}

void FakeJniEnv::Log(const std::string& call) { calls.push_back(call); }

jsize JNICALL FakeJniEnv::GetArrayLength(JNIEnv* env, jarray array) {
    FakeJniEnv* self = Owner(env);
    self->Log("GetArrayLength");
    if (array == nullptr) {
        fprintf(stderr, "GetArrayLength on a null array: a VM would crash here\n");
        abort();
    }
    return (jsize) reinterpret_cast<FakeIntArray*>(array)->elements.size();
}

jint* JNICALL FakeJniEnv::GetIntArrayElements(JNIEnv* env, jintArray array, jboolean* is_copy) {
    FakeJniEnv* self = Owner(env);
    self->Log(is_copy == nullptr ? "GetIntArrayElements" : "GetIntArrayElements(is_copy requested)");
    if (array == nullptr) {
        fprintf(stderr, "GetIntArrayElements on a null array: a VM would crash here\n");
        abort();
    }
    if (self->fail_get_elements) {
        return nullptr;
    }
    FakeIntArray* fake = reinterpret_cast<FakeIntArray*>(array);
    size_t count = fake->elements.size();
    // Header before the elements; at least one element so that an empty
    // array still yields a non-null pointer, as a VM's does.
    void* block = malloc(sizeof(ElementsHeader) + (count + 1) * sizeof(jint));
    ElementsHeader* header = static_cast<ElementsHeader*>(block);
    header->array = fake;
    header->count = count;
    jint* elements = reinterpret_cast<jint*>(header + 1);
    if (count > 0) {
        memcpy(elements, fake->elements.data(), count * sizeof(jint));
    }
    if (is_copy != nullptr) {
        *is_copy = JNI_TRUE;
    }
    fake->elements_out++;
    self->elements_out++;
    return elements;
}

void JNICALL FakeJniEnv::ReleaseIntArrayElements(JNIEnv* env, jintArray array, jint* elements, jint mode) {
    FakeJniEnv* self = Owner(env);
    self->Log("ReleaseIntArrayElements(mode " + std::to_string((long)mode) + ")");
    ElementsHeader* header = reinterpret_cast<ElementsHeader*>(elements) - 1;
    FakeIntArray* fake = reinterpret_cast<FakeIntArray*>(array);
    if (elements == nullptr || header->array != fake || fake->elements_out == 0) {
        fprintf(stderr, "ReleaseIntArrayElements with elements that this array did not hand out\n");
        abort();
    }
    if (mode == 0 || mode == JNI_COMMIT) {
        if (header->count > 0) {
            memcpy(fake->elements.data(), elements, header->count * sizeof(jint));
        }
    }
    if (mode == 0 || mode == JNI_ABORT) {
        fake->elements_out--;
        self->elements_out--;
        free(header);
    }
}

jintArray JNICALL FakeJniEnv::NewIntArray(JNIEnv* env, jsize length) {
    FakeJniEnv* self = Owner(env);
    self->Log("NewIntArray(" + std::to_string((long)length) + ")");
    if (self->fail_new_int_array || length < 0) {
        return nullptr;
    }
    self->arrays_.emplace_back();
    self->arrays_.back().elements.assign((size_t)length, 0);
    return reinterpret_cast<jintArray>(&self->arrays_.back());
}

void JNICALL FakeJniEnv::SetIntArrayRegion(JNIEnv* env, jintArray array, jsize start, jsize length,
                                           const jint* buffer) {
    FakeJniEnv* self = Owner(env);
    self->Log("SetIntArrayRegion(" + std::to_string((long)start) + "," + std::to_string((long)length) + ")");
    FakeIntArray* fake = reinterpret_cast<FakeIntArray*>(array);
    if (fake == nullptr || start < 0 || length < 0 || (size_t)start + (size_t)length > fake->elements.size()) {
        fprintf(stderr, "SetIntArrayRegion out of bounds: a VM would throw here\n");
        abort();
    }
    if (length > 0) {
        memcpy(fake->elements.data() + start, buffer, (size_t)length * sizeof(jint));
    }
}

jstring JNICALL FakeJniEnv::NewString(JNIEnv* env, const jchar* units, jsize length) {
    FakeJniEnv* self = Owner(env);
    self->Log("NewString(" + std::to_string((long)length) + ")");
    if (self->fail_new_string) {
        return nullptr;
    }
    self->strings_.emplace_back();
    self->strings_.back().units.assign(reinterpret_cast<const char16_t*>(units), (size_t)length);
    return reinterpret_cast<jstring>(&self->strings_.back());
}

jstring JNICALL FakeJniEnv::NewStringUTF(JNIEnv* env, const char* utf) {
    FakeJniEnv* self = Owner(env);
    self->Log("NewStringUTF");
    if (self->fail_new_string_utf) {
        return nullptr;
    }
    self->strings_.emplace_back();
    self->strings_.back().utf = utf;
    self->strings_.back().from_utf = true;
    return reinterpret_cast<jstring>(&self->strings_.back());
}
