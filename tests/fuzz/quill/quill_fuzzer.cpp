// quill.bin as the wizard reads it: decoded, then its four values taken. An
// accepted file's values are single lines within the wizard's field size, and
// the licence name is a bare file name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "setup/core/setup_text.h"

namespace {

void fail(int line) {
    std::fprintf(stderr, "quill_fuzzer: check at line %d failed\n", line);
    std::abort();
}

#define check(condition) ((condition) ? (void)0 : fail(__LINE__))

void checkValue(const std::string& value) {
    check(value.size() <= QUILL_VALUE_CHARS);
    check(value.find_first_of("\r\n") == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The wizard refuses larger files before decoding them.
    if (size > MAX_QUILL_BYTES)
        return 0;
    std::vector<std::uint8_t> bytes(data, data + size);
    std::string text = decodeQuill(bytes);
    check(text.size() <= size && text.find('\0') == std::string::npos);

    QuillValues values;
    QuillResult result = parseQuillText(text, values);
    check(result.status != QuillStatus::OK || result.anchor == nullptr);
    if (result.status != QuillStatus::OK)
        return 0;
    checkValue(values.applicationName);
    checkValue(values.applicationVersion);
    checkValue(values.providerText);
    checkValue(values.licenceFileName);
    check(values.licenceFileName.find_first_of("\\/:") == std::string::npos);
    return 0;
}
