// quillpack: turns the plain text of a setup description into "quill.bin"
// (every byte complemented) and back.
//
//   quillpack pack TEXT QUILL.BIN     refuses text the wizard could not read
//   quillpack unpack QUILL.BIN [TEXT] writes the text (to stdout without TEXT)
#include "setup/core/setup_text.h"
#include "tools/common/program_version.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool readFile(const char* name, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(name, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeFile(const char* name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string problemText(const QuillResult& result) {
    switch (result.status) {
    case QuillStatus::MISSING_KEY:
        return std::string("lacks the key \"") + result.anchor + "\"";
    case QuillStatus::MISSING_END_MARK:
        return std::string("needs a line beginning with \"") + result.anchor +
               "\" right after the line before it (lines end in CR LF)";
    case QuillStatus::TOO_LARGE:
        return "is larger than " + std::to_string(MAX_QUILL_BYTES) + " bytes";
    default:
        return "is fine";
    }
}

int pack(const char* textName, const char* binName) {
    std::vector<std::uint8_t> bytes;
    if (!readFile(textName, bytes)) {
        std::fprintf(stderr, "quillpack: cannot read %s\n", textName);
        return 1;
    }
    QuillValues values;
    QuillResult result = parseQuillText(std::string(bytes.begin(), bytes.end()), values);
    if (result.status != QuillStatus::OK) {
        std::fprintf(stderr, "quillpack: %s %s\n", textName, problemText(result).c_str());
        return 1;
    }
    complementBytes(bytes);
    if (!writeFile(binName, bytes)) {
        std::fprintf(stderr, "quillpack: cannot write %s\n", binName);
        return 1;
    }
    std::printf("%s: %s %s by %s, licence %s\n", binName, values.applicationName.c_str(),
                values.applicationVersion.c_str(), values.providerText.c_str(), values.licenceFileName.c_str());
    return 0;
}

int unpack(const char* binName, const char* textName) {
    std::vector<std::uint8_t> bytes;
    if (!readFile(binName, bytes)) {
        std::fprintf(stderr, "quillpack: cannot read %s\n", binName);
        return 1;
    }
    complementBytes(bytes);
    if (textName == nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        return 0;
    }
    if (!writeFile(textName, bytes)) {
        std::fprintf(stderr, "quillpack: cannot write %s\n", textName);
        return 1;
    }
    return 0;
}

constexpr const char* USAGE = "usage: quillpack pack TEXT QUILL.BIN\n"
                              "       quillpack unpack QUILL.BIN [TEXT]\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return kestrel::tools::printVersion("quillpack");
    if (argc == 4 && std::strcmp(argv[1], "pack") == 0)
        return pack(argv[2], argv[3]);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "unpack") == 0)
        return unpack(argv[2], argc == 4 ? argv[3] : nullptr);
    std::fputs(USAGE, stderr);
    return 2;
}
