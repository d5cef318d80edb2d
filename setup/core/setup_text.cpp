#include "setup/core/setup_text.h"

#include <cstring>

namespace {

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// atoi without its overflow: the caller hands at most COLOUR_FIELD_CHARS.
int readDecimal(const char* text, std::size_t length) {
    std::size_t i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                          text[i] == '\v' || text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long value = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9')
        value = value * 10 + (text[i++] - '0');
    return static_cast<int>(negative ? -value : value);
}

std::uint8_t lowByte(int value) { return static_cast<std::uint8_t>(static_cast<unsigned>(value) & 0xFFu); }

struct ValueLayout {
    const char* key;
    const char* endMark;
    std::string QuillValues::*field;
};

const ValueLayout QUILL_LAYOUT[] = {
    {"CEAppName=", "Version", &QuillValues::applicationName},
    {"Version=", "ProviderName", &QuillValues::applicationVersion},
    {"ProviderName=", "ProjectDirectory", &QuillValues::providerText},
    {"LicenseAgreement=", "DefaultFolder=", nullptr},
};

// The value after key, ending where the line "endMark..." begins. The search
// starts at the value so that an end mark elsewhere in the text cannot give a
// negative length.
QuillResult takeValue(const std::string& text, const ValueLayout& layout, std::string& value) {
    std::size_t keyAt = text.find(layout.key);
    if (keyAt == std::string::npos)
        return {QuillStatus::MISSING_KEY, layout.key};
    std::size_t start = keyAt + std::strlen(layout.key);
    std::size_t endAt = text.find(std::string("\r\n") + layout.endMark, start);
    if (endAt == std::string::npos)
        return {QuillStatus::MISSING_END_MARK, layout.endMark};
    value = text.substr(start, endAt - start);
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (isLineEnd(value[i]))
            return {QuillStatus::MISSING_END_MARK, layout.endMark};
    }
    // The licence path is cut only after its file name has been taken.
    if (layout.field != nullptr && value.size() > QUILL_VALUE_CHARS)
        value.resize(QUILL_VALUE_CHARS);
    return {QuillStatus::OK, nullptr};
}

} // namespace

bool readIniValue(const char* iniText, char* destination, std::size_t destinationSize, const char* key) {
    if (iniText == nullptr || destinationSize == 0)
        return false;
    const char* found = std::strstr(iniText, key);
    if (found == nullptr)
        return false;
    std::memset(destination, 0, destinationSize);
    const char* value = found + std::strlen(key);
    std::size_t length = 0;
    while (value[length] != '\0' && !isLineEnd(value[length]) && length + 1 < destinationSize)
        ++length;
    std::memcpy(destination, value, length);
    return true;
}

Colour parseColour(const char* text) {
    int fields[3] = {0, 0, 0};
    const char* cursor = text;
    for (int field = 0; field < 3 && cursor != nullptr; ++field) {
        const char* comma = field < 2 ? std::strchr(cursor, ',') : nullptr;
        std::size_t length = comma != nullptr ? static_cast<std::size_t>(comma - cursor) : std::strlen(cursor);
        fields[field] = readDecimal(cursor, length < COLOUR_FIELD_CHARS ? length : COLOUR_FIELD_CHARS);
        cursor = comma != nullptr ? comma + 1 : nullptr;
    }
    return {lowByte(fields[0]), lowByte(fields[1]), lowByte(fields[2])};
}

void replaceLineBreaks(char* text) {
    for (char* p = text; p[0] != '\0' && p[1] != '\0'; ++p) {
        if (p[0] == '\\' && p[1] == 'r') {
            p[0] = '\r';
            p[1] = '\n';
            ++p;
        }
    }
}

std::string withCrLfLineEnds(const std::string& text) {
    std::string result;
    result.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            result += '\r';
        result += text[i];
    }
    return result;
}

void complementBytes(std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(~b);
}

std::string decodeQuill(std::vector<std::uint8_t> bytes) {
    complementBytes(bytes);
    // A zero byte ends the text, as it would for the C string functions.
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\0'));
}

std::string licenceFileNameOf(const std::string& path) {
    if (path.empty())
        return DEFAULT_LICENCE_FILE;
    std::size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

QuillResult parseQuillText(const std::string& text, QuillValues& values) {
    if (text.size() > MAX_QUILL_BYTES)
        return {QuillStatus::TOO_LARGE, nullptr};
    QuillValues found;
    std::string licencePath;
    for (const ValueLayout& layout : QUILL_LAYOUT) {
        std::string& target = layout.field != nullptr ? found.*layout.field : licencePath;
        QuillResult result = takeValue(text, layout, target);
        if (result.status != QuillStatus::OK)
            return result;
    }
    found.licenceFileName = licenceFileNameOf(licencePath);
    if (found.licenceFileName.size() > QUILL_VALUE_CHARS)
        found.licenceFileName.resize(QUILL_VALUE_CHARS);
    values = found;
    return {QuillStatus::OK, nullptr};
}
