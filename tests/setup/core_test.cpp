// The wizard's window-free pieces: setup.ini values, colours, the description
// file, the background bands, the Application Manager's command line and the
// splash picture's layout.
#include "setup/core/setup_layout.h"
#include "setup/core/setup_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string iniValue(const char* ini, const char* key, std::size_t size = 100) {
    std::vector<char> buffer(size, 'x');
    return readIniValue(ini, buffer.data(), size, key) ? std::string(buffer.data()) : "<absent>";
}

TEST(SetupIni, ValuesByKey) {
    const char* ini = "a=1\r\nbgtopcolor=255,0,0\r\nmidbgtitle=Inner\r\nbgtitle=Second\r\nempty=\r\nlast=tail";
    EXPECT_EQ(iniValue(ini, "bgtopcolor="), "255,0,0");
    EXPECT_EQ(iniValue(ini, "bgtitle="), "Inner"); // first occurrence, also inside a line
    EXPECT_EQ(iniValue(ini, "empty="), "");
    EXPECT_EQ(iniValue(ini, "last="), "tail");       // no CR LF at the end
    EXPECT_EQ(iniValue(ini, "missing="), "<absent>");
    EXPECT_EQ(iniValue(ini, "bgtopcolor=", 4), "255"); // cut to its buffer
    EXPECT_EQ(iniValue("k=v\nnext=1", "k="), "v");   // a bare LF ends the line too
}

TEST(SetupIni, LineBreaksAndColours) {
    char text[] = "First line\\rSecond\\\\r";
    replaceLineBreaks(text);
    EXPECT_STREQ(text, "First line\r\nSecond\\\r\n");
    EXPECT_EQ(withCrLfLineEnds("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");

    struct Case { const char* text; int r, g, b; } cases[] = {
        {"255,0,0", 255, 0, 0},   {"300,0,0", 44, 0, 0},      {" 1, +2,  -1", 1, 2, 255},
        {"0,128,255", 0, 128, 255}, {"12", 12, 0, 0},          {"7,x9,3z", 7, 0, 3},
        {"1234567890,0,0", 21, 0, 0}, // nine digits count: 123456789 & 255
        {"", 0, 0, 0},
    };
    for (const Case& c : cases) {
        Colour colour = parseColour(c.text);
        EXPECT_EQ(std::vector<int>({colour.red, colour.green, colour.blue}), std::vector<int>({c.r, c.g, c.b}))
            << c.text;
    }
}

std::vector<std::uint8_t> packed(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    complementBytes(bytes);
    return bytes;
}

TEST(SetupQuill, LayoutAndDamage) {
    const std::string good = "CEAppName=Kestrel1\r\nVersion=1.0\r\nProviderName=Orrin\r\nProjectDirectory=C:\\P\r\n"
                             "LicenseAgreement=C:\\Project\\Docs\\Eula.txt\r\nDefaultFolder=\\K\r\n";
    QuillValues values;
    ASSERT_EQ(parseQuillText(decodeQuill(packed(good)), values).status, QuillStatus::OK);
    EXPECT_EQ(values.applicationName, "Kestrel1");
    EXPECT_EQ(values.applicationVersion, "1.0");
    EXPECT_EQ(values.providerText, "Orrin");
    EXPECT_EQ(values.licenceFileName, "Eula.txt");

    struct Case { std::string text; QuillStatus status; const char* anchor; } damaged[] = {
        {"", QuillStatus::MISSING_KEY, "CEAppName="},
        {"Version=1\r\nCEAppName=K\r\nProviderName=O\r\nProjectDirectory=\r\n", QuillStatus::MISSING_END_MARK,
         "Version"},
        {"CEAppName=K\r\nVersion=1\r\nProviderName=O\r\nProjectDirectory=\r\nLicenseAgreement=L\r\n",
         QuillStatus::MISSING_END_MARK, "DefaultFolder="},
        {"CEAppName=K\r\nX=1\r\nVersion=1\r\n", QuillStatus::MISSING_END_MARK, "Version"},
        {std::string(MAX_QUILL_BYTES + 1, 'a'), QuillStatus::TOO_LARGE, nullptr},
    };
    for (const Case& c : damaged) {
        QuillResult result = parseQuillText(c.text, values);
        EXPECT_EQ(result.status, c.status) << c.text.substr(0, 40);
        if (c.anchor != nullptr) {
            EXPECT_STREQ(result.anchor, c.anchor);
        }
    }
    EXPECT_EQ(values.applicationName, "Kestrel1"); // a damaged text leaves the values alone
}

TEST(SetupQuill, LicenceNames) {
    EXPECT_EQ(licenceFileNameOf(""), "License.txt");
    EXPECT_EQ(licenceFileNameOf("C:\\Project\\Docs\\Eula.txt"), "Eula.txt");
    EXPECT_EQ(licenceFileNameOf("Eula.txt"), "Eula.txt"); // no backslash
    EXPECT_EQ(licenceFileNameOf("C:Eula.txt"), "Eula.txt");
    std::string longName(600, 'n');
    QuillValues values;
    parseQuillText("CEAppName=" + longName + "\r\nVersion=\r\nProviderName=\r\nProjectDirectory\r\n"
                   "LicenseAgreement=\r\nDefaultFolder=\r\n", values);
    EXPECT_EQ(values.applicationName.size(), QUILL_VALUE_CHARS);
    EXPECT_EQ(values.licenceFileName, "License.txt");
    // A deep folder: the name comes from the whole path, whatever its length.
    for (std::size_t folder : {480u, 499u, 500u, 600u, 4000u}) {
        std::string path = "C:\\" + std::string(folder, 'd') + "\\Eula.txt";
        parseQuillText("CEAppName=a\r\nVersion=\r\nProviderName=\r\nProjectDirectory\r\nLicenseAgreement=" + path +
                           "\r\nDefaultFolder=\r\n",
                       values);
        EXPECT_EQ(values.licenceFileName, "Eula.txt") << folder;
    }
    parseQuillText("CEAppName=a\r\nVersion=\r\nProviderName=\r\nProjectDirectory\r\nLicenseAgreement=C:\\" +
                       std::string(600, 'n') + "\r\nDefaultFolder=\r\n",
                   values);
    EXPECT_EQ(values.licenceFileName, std::string(QUILL_VALUE_CHARS, 'n'));
}

TEST(SetupLayout, GradientBands) {
    Colour blue{0, 0, 255}, black{0, 0, 0};
    EXPECT_EQ(gradientBandCount(768), 255);
    EXPECT_EQ(gradientBandCount(600), 200);
    EXPECT_EQ(gradientBandCount(199), 0);
    EXPECT_EQ(gradientBandColour(blue, black, 0, 600).blue, 255);
    EXPECT_EQ(gradientBandColour(blue, black, 199, 600).blue, 2);
    EXPECT_EQ(gradientBandColour(blue, black, 254, 768).blue, 255 - 255 * 3 * 254 / 768);
    EXPECT_EQ(gradientBandColour({10, 0, 0}, {250, 0, 0}, 254, 768).red, 10 + 240 * 3 * 254 / 768);
}

TEST(SetupLayout, CommandLine) {
    EXPECT_EQ(appManagerCommandLine("C:\\S\\CEAPPMGR.EXE", "C:\\", "Kestrel1"),
              "C:\\S\\CEAPPMGR.EXE \"C:\\Kestrel1.ini\"");
    EXPECT_EQ(appManagerCommandLine("C:\\S\\CEAPPMGR.EXE", "D:\\Dist", "Kestrel1"),
              "C:\\S\\CEAPPMGR.EXE \"D:\\Dist\\Kestrel1.ini\"");
}

// A 2 x 2 picture of 8 bits per pixel with a 2-colour table; edits make it damaged.
std::vector<std::uint8_t> bitmapFile(std::uint32_t headerSize = 40, std::uint32_t compression = 0,
                                     std::int32_t width = 2, std::uint32_t coloursUsed = 2) {
    std::vector<std::uint8_t> file(54 + 8 + 8, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&file[at], &v, 4); };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<std::uint32_t>(file.size()));
    put32(10, 62);
    put32(14, headerSize);
    put32(18, static_cast<std::uint32_t>(width));
    put32(22, 2);
    file[26] = 1;
    file[28] = 8;
    put32(30, compression);
    put32(46, coloursUsed);
    return file;
}

TEST(SetupLayout, SplashPictures) {
    BitmapLayout layout{};
    std::vector<std::uint8_t> good = bitmapFile();
    ASSERT_EQ(parseBitmapFile(good.data(), good.size(), layout), BitmapStatus::OK);
    EXPECT_EQ(layout.colourTableBytes, 8u);
    EXPECT_EQ(layout.pixelBytes, 8u);
    std::vector<std::uint8_t> fullTable = bitmapFile(40, 0, 2, 0); // 256 colours do not fit before offset 62
    std::vector<std::uint8_t> notBitmap = good;
    notBitmap[0] = 'X';
    struct Case { std::vector<std::uint8_t> file; std::size_t size; BitmapStatus status; } cases[] = {
        {good, good.size() - 1, BitmapStatus::TRUNCATED},        {good, 53, BitmapStatus::TOO_SHORT},
        {bitmapFile(124), good.size(), BitmapStatus::OTHER_HEADER}, {bitmapFile(40, 1), good.size(), BitmapStatus::COMPRESSED},
        {bitmapFile(40, 0, -5), good.size(), BitmapStatus::BAD_SIZE},
        {bitmapFile(40, 0, MAX_SPLASH_SIDE + 1), good.size(), BitmapStatus::BAD_SIZE},
        {bitmapFile(40, 0, 2, 257), good.size(), BitmapStatus::BAD_FORMAT},
        {fullTable, fullTable.size(), BitmapStatus::TRUNCATED},  {good, MAX_SPLASH_FILE_BYTES + 1, BitmapStatus::NOT_A_BITMAP},  {notBitmap, good.size(), BitmapStatus::NOT_A_BITMAP},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseBitmapFile(c.file.data(), c.size, layout), c.status) << int(c.status);
}

// A 2 x 2 picture of any depth whose file carries the colour table its
// colour-used count names (at more than 8 bits, an optional palette).
std::vector<std::uint8_t> pictureOfDepth(std::uint16_t bits, std::uint32_t coloursUsed) {
    std::size_t entries = coloursUsed != 0 ? coloursUsed : (bits <= 8 ? 1u << bits : 0);
    std::size_t stride = (2 * bits + 31) / 32 * 4;
    std::vector<std::uint8_t> file(54 + 4 * entries + 2 * stride, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&file[at], &v, 4); };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<std::uint32_t>(file.size()));
    put32(10, static_cast<std::uint32_t>(54 + 4 * entries));
    put32(14, 40);
    put32(18, 2);
    put32(22, 2);
    file[26] = 1;
    file[28] = static_cast<std::uint8_t>(bits);
    put32(46, coloursUsed);
    return file;
}

// The platform reads as many colour entries after the header as its
// colour-used count (or, at up to 8 bits, its depth) says; they must all be
// in what it is handed.
TEST(SetupLayout, HeaderHandedOnCarriesEveryColourItAnnounces) {
    for (std::uint16_t bits : {1, 4, 8, 16, 24, 32}) {
        for (std::uint32_t coloursUsed : {0u, 2u, 7u, 256u}) {
            if (bits <= 8 && coloursUsed > (1u << bits))
                continue;
            SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(coloursUsed) + " colours used");
            std::vector<std::uint8_t> file = pictureOfDepth(bits, coloursUsed);
            BitmapLayout layout{};
            ASSERT_EQ(parseBitmapFile(file.data(), file.size(), layout), BitmapStatus::OK);
            std::vector<std::uint32_t> info = platformBitmapInfo(file.data(), layout);
            std::uint32_t announced = info[8];  // the header's colour-used count
            std::size_t read = announced != 0 ? announced : (bits <= 8 ? 1u << bits : 0);
            EXPECT_LE(40 + 4 * read, info.size() * 4);
            EXPECT_EQ(std::memcmp(info.data(), &file[14], 32), 0);  // the rest of the header as stored
            if (bits <= 8)
                EXPECT_EQ(announced, coloursUsed);
            EXPECT_EQ(layout.pixelOffset, file.size() - layout.pixelBytes);
        }
    }
}

} // namespace
