// The three flat JSON scanners on any text and any key, against the reference model.
//
// Input: one byte for the key's length (below 96, so cut patterns are reached), the key, one
// byte for the string capacity (below 100), then the text.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "reference_scan.h"
#include "status/json_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::reset_machine();
    fuzz::ByteReader in(data, size);
    const std::string key_bytes = in.short_text(96);
    const uint32_t capacity = in.u8() % 100;
    const std::string text_bytes = in.rest();
    // Both as the scanners see them: terminated texts, so a NUL ends them early.
    const std::string key(key_bytes.c_str());
    const std::string text(text_bytes.c_str());
    const std::string text_before = text;

    const int32_t kBoolSentinel = 77;
    int32_t flag = kBoolSentinel;
    int bool_result = json_find_bool(text.c_str(), key.c_str(), &flag);
    fuzz::RefBool ref_bool = fuzz::ref_find_bool(text.c_str(), key.c_str());
    FUZZ_CHECK(bool_result == ref_bool.result);
    FUZZ_CHECK(flag == (ref_bool.result ? ref_bool.value : kBoolSentinel));

    const int64_t kIntSentinel = -77;
    int64_t number = kIntSentinel;
    int int_result = json_find_int64(text.c_str(), key.c_str(), &number);
    fuzz::RefInt ref_int = fuzz::ref_find_int64(text.c_str(), key.c_str());
    FUZZ_CHECK(int_result == ref_int.result);
    FUZZ_CHECK(number == (ref_int.result ? ref_int.value : kIntSentinel));

    // The output buffer is exactly capacity bytes (a heap block of its own), so a write past
    // it is an ASan report; its bytes start as a pattern to tell untouched from written.
    std::unique_ptr<char[]> out(new char[capacity == 0 ? 1 : capacity]);
    memset(out.get(), 0x5A, capacity == 0 ? 1 : capacity);
    char* buffer = capacity == 0 ? out.get() + 1 : out.get();  // capacity 0: nothing is ours
    int string_result = json_find_string(text.c_str(), key.c_str(), buffer, capacity);
    fuzz::RefString ref_string = fuzz::ref_find_string(text.c_str(), key.c_str(), capacity);
    FUZZ_CHECK(string_result == ref_string.result);
    if (!ref_string.touched) {
        for (uint32_t i = 0; i < capacity; ++i) {
            FUZZ_CHECK(buffer[i] == 0x5A);
        }
    } else {
        FUZZ_CHECK(ref_string.stored.size() <= capacity - 1);
        FUZZ_CHECK(memcmp(buffer, ref_string.stored.data(), ref_string.stored.size()) == 0);
        if (ref_string.terminated) {
            FUZZ_CHECK(buffer[ref_string.stored.size()] == '\0');
        }
    }
    // The scanners never write into the text they search.
    FUZZ_CHECK(text == text_before);
    return 0;
}
