#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.hpp"
#include "formats/wav_layout.hpp"

namespace twoband {
namespace {

using testing_support::Bytes;
using testing_support::WavBuilder;
using testing_support::WavForm;

// The layout of `file`, read through a reader that fails the test on any read outside
// it, and on more reads than a walk that visits each chunk once makes (a walk going
// round fails there instead of hanging).
std::optional<WavLayout> layoutOf(const Bytes& file) {
    std::size_t reads = 0;
    return findWavLayout(file.size(), [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        EXPECT_LE(offset + into.size(), file.size()) << "read past the file";
        if (offset + into.size() > file.size()) return false;
        EXPECT_LE(++reads, file.size() / 8 + 4) << "the walk goes round";
        if (reads > file.size() / 8 + 4) return false;
        std::memcpy(into.data(), file.data() + offset, into.size());
        return true;
    });
}

Bytes filled(std::size_t size, std::uint8_t value = 0x11) { return Bytes(size, value); }

TEST(WavLayout, FindsTheSamplesOfEveryLayout) {
    const Bytes samples = filled(20000);
    const Bytes tags = filled(301, 0x22);
    struct Case {
        std::string what;
        Bytes file;
        SampleRange expected;
        bool declared;  // a format chunk was met
        bool pcm16;
        std::uint16_t channels;
        std::string described = {};  // the format in words, where it matters
        std::string damage = {};     // why a WAV file holds no data chunk
    };
    const auto pcm = [] { return WavBuilder{}.format(1, 2, 16); };
    const auto noData = [](std::uint64_t end, std::uint64_t length) {
        return "no data chunk: the chunks end at byte " + std::to_string(end) + " of " + std::to_string(length);
    };
    const auto pastTheEnd = [](const char* id, std::uint64_t at, std::uint64_t size, std::uint64_t length) {
        return "no data chunk: the '" + std::string(id) + "' chunk at byte " + std::to_string(at) + " says " +
               std::to_string(size) + " bytes, past the end (" + std::to_string(length) + " bytes)";
    };
    const WavBuilder listFirst = pcm().chunk("LIST", filled(26, 0x33));
    const WavBuilder oddChunk = pcm().chunk("JUNK", filled(27, 0x44));
    const Bytes canonical = pcm().chunk("data", samples).bytes();
    Bytes notRiff = canonical;
    notRiff[8] = 'X';
    std::vector<Case> cases = {
        {"canonical", canonical, {44, 20044}, true, true, 2},
        {"a LIST chunk first", WavBuilder(listFirst).chunk("data", samples).bytes(),
         {listFirst.nextPayload(), listFirst.nextPayload() + 20000}, true, true, 2},
        {"an odd chunk and its pad byte", WavBuilder(oddChunk).chunk("data", samples).bytes(),
         {oddChunk.nextPayload(), oddChunk.nextPayload() + 20000}, true, true, 2},
        {"tags after the samples", pcm().chunk("data", samples).chunk("id3 ", tags).bytes(),
         {44, 20044}, true, true, 2},
        {"size 0 from a streaming writer", pcm().chunk("data", samples, 0).chunk("id3 ", tags).bytes(),
         {44, 20044 + 8 + 302}, true, true, 2},
        {"size beyond the end", pcm().chunk("data", samples, 0xFFFFFFFF).bytes(), {44, 20044}, true,
         true, 2},
        {"extensible PCM", WavBuilder{}.format(0xFFFE, 2, 16).chunk("data", samples).bytes(),
         {68, 20068}, true, true, 2},
        {"mono", WavBuilder{}.format(1, 1, 16).chunk("data", samples).bytes(), {44, 20044}, true, true, 1},
        {"8-bit", WavBuilder{}.format(1, 2, 8).chunk("data", samples).bytes(), {44, 20044}, true, false, 2},
        {"24-bit", WavBuilder{}.format(1, 2, 24).chunk("data", samples).bytes(), {44, 20044}, true, false, 2},
        {"float", WavBuilder{}.format(3, 2, 32).chunk("data", samples).bytes(), {44, 20044}, true, false, 2},
        {"extensible float", WavBuilder{}.format(0xFFFE, 2, 16, 3).chunk("data", samples).bytes(),
         {68, 20068}, true, false, 2},
        {"format chunk too short to say", WavBuilder{}.chunk("fmt ", filled(14)).chunk("data", samples).bytes(),
         {44, 20042}, true, false, 0x1111},
        // The samples never start before byte 44, though the payload starts at 20 here.
        {"data before the format", WavBuilder{}.chunk("data", samples).format(3, 2, 32).bytes(),
         {44, 20020}, false, false, 0},
        {"not RIFF/WAVE", notRiff, {44, 20044}, false, false, 0},
        {"no data chunk", pcm().chunk("JUNK", samples).bytes(), {44, 20044}, true, true, 2, {}, noData(20044, 20044)},
        {"a size that jumps past the end", pcm().chunk("JUNK", samples, 0xFFFFFFF0).chunk("data", samples).bytes(),
         {44, 40052}, true, true, 2, {}, pastTheEnd("JUNK", 36, 0xFFFFFFF0, 40052)},
    };
    // A data chunk header cut by the end of the file: no data chunk.
    Bytes cut = pcm().chunk("JUNK", samples).bytes();
    cut.insert(cut.end(), {'d', 'a', 't', 'a', 0x10});
    cases.push_back({"a cut data header", cut, {44, cut.size()}, true, true, 2, {}, noData(20044, 20049)});
    // A data chunk that ends before byte 44 holds no frame at all.
    cases.push_back({"data ending before 44", WavBuilder{}.chunk("data", filled(8)).chunk("JUNK", samples).bytes(),
                     {44, 44}, false, false, 0});
    // A data chunk header that ends exactly at the end of the file: no samples at all.
    const Bytes headerAtEnd = pcm().chunk("JUNK", samples).chunk("data", {}, 5000).bytes();
    cases.push_back({"a data header ending the file", headerAtEnd, {headerAtEnd.size(), headerAtEnd.size()},
                     true, true, 2});
    // Two format chunks: the first one counts.
    cases.push_back({"two format chunks", pcm().format(1, 2, 24).chunk("data", samples).bytes(),
                     {68, 20068}, true, true, 2});
    // A format chunk cut short by the end of the file is read only as far as it goes.
    Bytes cutFormat = WavBuilder{}.chunk("JUNK", samples).bytes();
    cutFormat.insert(cutFormat.end(), {'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0});
    cases.push_back({"a format chunk cut short", cutFormat, {44, cutFormat.size()}, true, false, 2, {},
                     pastTheEnd("fmt ", 20020, 16, 20032)});
    // Nothing but empty chunks.
    WavBuilder empties;
    for (int i = 0; i < 2500; ++i) empties.chunk("RIFF", {});
    cases.push_back({"all RIFF chunks", empties.bytes(), {44, 20012}, false, false, 0, {}, noData(20012, 20012)});

    // Every size against the bytes left, every header shorter than its fixed part.
    cases.push_back({"data one byte past the end", pcm().chunk("data", samples, 20001).bytes(), {44, 20044},
                     true, true, 2});
    Bytes extensibleShort = WavBuilder{}.format(1, 2, 16).chunk("data", samples).bytes();
    extensibleShort[20] = 0xFE;  // the extensible tag in a chunk of 16 bytes: no room for the sub-format
    extensibleShort[21] = 0xFF;
    cases.push_back({"extensible format too short for its extension", extensibleShort, {44, 20044}, true, false,
                     2, "a format chunk too short to say what it holds"});
    const Bytes longFormat = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 0, 0, 9, 9};
    cases.push_back({"a format chunk longer than its fields",
                     WavBuilder{}.chunk("fmt ", longFormat).chunk("data", samples).bytes(), {48, 20048}, true, true,
                     2, "16-bit PCM"});
    // Formats that declare nothing to process: the layout says so as it is.
    cases.push_back({"no channels", WavBuilder{}.format(1, 0, 16).chunk("data", samples).bytes(), {44, 20044},
                     true, true, 0});
    // RF64 and BW64: ds64 gives its meaning only there, only from the bytes it holds.
    const auto ds64 = [](std::uint64_t dataSize) {
        Bytes sizes(28, 0);
        for (int i = 0; i < 8; ++i) sizes[8 + i] = static_cast<std::uint8_t>(dataSize >> (8 * i));
        return sizes;
    };
    Bytes ds64Cut = WavBuilder(WavForm::rf64).bytes();
    ds64Cut.resize(30);  // 10 of its 28 bytes
    cases.push_back({"an RF64 ds64 cut by the end of the file", ds64Cut, {44, 44}, false, false, 0, {},
                     pastTheEnd("ds64", 12, 28, 30)});
    WavBuilder ds64InRiff;
    ds64InRiff.chunk("ds64", ds64(20000)).format(1, 2, 16);
    const std::size_t afterDs64 = ds64InRiff.nextPayload();
    const Bytes riffWithDs64 = ds64InRiff.chunk("data", samples, 0xFFFFFFFF).chunk("id3 ", tags).bytes();
    cases.push_back({"a ds64 inside a plain RIFF file", riffWithDs64, {afterDs64, riffWithDs64.size()}, true,
                     true, 2});
    // A ds64 of 8 bytes, then a chunk whose header would read as a data size of 16.
    WavBuilder shortDs64;
    shortDs64.chunk("ds64", Bytes(8, 0)).chunk("\x10\0\0\0", {}).format(1, 2, 16);
    const std::size_t afterShortDs64 = shortDs64.nextPayload();
    Bytes rf64ShortDs64 = shortDs64.chunk("data", samples, 0xFFFFFFFF).chunk("id3 ", tags).bytes();
    std::copy_n("RF64", 4, rf64ShortDs64.begin());
    cases.push_back({"an RF64 ds64 too short for the data size", rf64ShortDs64,
                     {afterShortDs64, rf64ShortDs64.size()}, true, true, 2});
    WavBuilder rf64 = WavBuilder(WavForm::rf64).format(1, 2, 16);
    const std::size_t rf64Begin = rf64.nextPayload();
    Bytes rf64Promising = WavBuilder(rf64).chunk("data", samples).chunk("id3 ", tags).bytes();
    rf64Promising[28 + 5] = 1;  // 1 TiB of samples, in a cut download
    cases.push_back({"an RF64 ds64 promising more than the file holds", rf64Promising,
                     {rf64Begin, rf64Promising.size()}, true, true, 2});
    WavBuilder twoDs64(WavForm::rf64);
    twoDs64.chunk("ds64", ds64(100)).format(1, 2, 16);
    const std::size_t afterTwoDs64 = twoDs64.nextPayload();
    cases.push_back({"two ds64 chunks: the first counts",
                     twoDs64.chunk("data", samples).chunk("id3 ", tags).bytes(),
                     {afterTwoDs64, afterTwoDs64 + 20000}, true, true, 2});
    // Wave64: sizes that count the chunk's own 24 bytes, and headers of 24 bytes.
    WavBuilder underSized(WavForm::wave64);
    underSized.chunk("JUNK", {}, 10).format(1, 2, 16);
    const std::size_t afterUnderSized = underSized.nextPayload();
    cases.push_back({"a Wave64 chunk smaller than its own header",
                     underSized.chunk("data", samples).bytes(),
                     {afterUnderSized, afterUnderSized + 20000}, true, true, 2});
    // Added to its offset (80), the size would wrap round to the first chunk (40).
    const Bytes wave64Jump = WavBuilder(WavForm::wave64)
                                 .format(1, 2, 16)
                                 .chunk("JUNK", samples, 0 - std::uint64_t{40})
                                 .chunk("data", samples)
                                 .bytes();
    cases.push_back({"a Wave64 size that jumps past the end", wave64Jump, {44, wave64Jump.size()}, true, true, 2, {},
                     pastTheEnd("JUNK", 80, 0 - std::uint64_t{64}, wave64Jump.size())});
    WavBuilder wave64 = WavBuilder(WavForm::wave64).format(1, 2, 16);
    const std::size_t wave64Begin = wave64.nextPayload();
    const Bytes wave64Past = WavBuilder(wave64).chunk("data", samples, 24 + 20001).bytes();
    cases.push_back({"a Wave64 data size one past the end", wave64Past, {wave64Begin, wave64Past.size()}, true,
                     true, 2});
    Bytes wave64Cut = WavBuilder(wave64).chunk("JUNK", samples).bytes();
    const Bytes dataHeader = WavBuilder(WavForm::wave64).chunk("data", {}).bytes();
    wave64Cut.insert(wave64Cut.end(), dataHeader.end() - 24, dataHeader.end() - 4);
    cases.push_back({"a Wave64 data header cut by the end of the file", wave64Cut, {44, wave64Cut.size()}, true,
                     true, 2, {}, noData(20104, 20124)});

    for (const Case& c : cases) {
        const std::optional<WavLayout> layout = layoutOf(c.file);
        ASSERT_TRUE(layout) << c.what;
        EXPECT_EQ(layout->samples.begin, c.expected.begin) << c.what;
        EXPECT_EQ(layout->samples.end, c.expected.end) << c.what;
        EXPECT_EQ(layout->damage, c.damage) << c.what;
        ASSERT_EQ(layout->format.has_value(), c.declared) << c.what;
        if (c.declared) {
            EXPECT_EQ(layout->format->pcm16, c.pcm16) << c.what;
            EXPECT_EQ(layout->format->channels, c.channels) << c.what;
            if (!c.described.empty()) {
                EXPECT_EQ(describeFormat(*layout->format), c.described) << c.what;
            }
        }
    }
}

TEST(WavLayout, ReadsEveryWavContainerByItsChunks) {
    const Bytes samples = filled(20000);
    const Bytes tags = filled(301, 0x22);
    struct Case {
        std::string what;
        WavBuilder builder;        // up to the data chunk
        std::optional<std::uint64_t> dataSize;  // the size field of the data chunk, if not the usual
        Container container;
    };
    // Metadata before and after the samples, with an odd-sized chunk among them.
    const auto before = [&](WavForm form) {
        WavBuilder builder(form);
        builder.format(1, 2, 16).chunk("LIST", filled(25, 0x33)).chunk("bext", filled(8, 0x44));
        return builder;
    };
    const Case cases[] = {
        {"RF64, the size in ds64", before(WavForm::rf64), std::nullopt, Container::rf64},
        {"RF64 whose own size is real", before(WavForm::rf64), 20000, Container::rf64},
        {"BW64", before(WavForm::bw64), std::nullopt, Container::rf64},
        {"Wave64", before(WavForm::wave64), std::nullopt, Container::wave64},
        {"a JUNK-reserved RIFF file", WavBuilder{}.chunk("JUNK", filled(28, 0)).format(1, 2, 16),
         std::nullopt, Container::riff},
    };
    for (const Case& c : cases) {
        WavBuilder builder = c.builder;
        const std::size_t begin = builder.nextPayload();
        const Bytes file = builder.chunk("data", samples, c.dataSize).chunk("id3 ", tags).bytes();
        const std::optional<WavLayout> layout = layoutOf(file);
        ASSERT_TRUE(layout) << c.what;
        EXPECT_EQ(layout->container, c.container) << c.what;
        EXPECT_EQ(layout->samples.begin, begin) << c.what;
        EXPECT_EQ(layout->samples.end, begin + samples.size()) << c.what;
        ASSERT_TRUE(layout->format) << c.what;
        EXPECT_TRUE(layout->format->pcm16) << c.what;
    }
}

TEST(WavLayout, NamesOtherFormatsByTheirFirstBytes) {
    const auto withHead = [](std::initializer_list<std::uint8_t> head) {
        Bytes file = filled(20000);
        std::copy(head.begin(), head.end(), file.begin());
        return file;
    };
    // An MPEG-1 layer III frame of 128 kbit/s at 44.1 kHz is 417 bytes long.
    Bytes mp3 = withHead({0xFF, 0xFB, 0x90, 0x00});
    std::copy_n(mp3.begin(), 4, mp3.begin() + 417);
    Bytes lonelyFrame = withHead({0xFF, 0xFB, 0x90, 0x00});  // no second frame where it says
    // An AAC frame in ADTS of 371 bytes, and another after it.
    Bytes adts = withHead({0xFF, 0xF1, 0x50, 0x80, 0x2E, 0x7F, 0xFC});
    std::copy_n(adts.begin(), 7, adts.begin() + 371);
    Bytes text(20000, 'a');
    const std::string words = "Episode 12 notes\r\n\tGuests: Zoë, 日本\n";
    for (std::size_t at = 0; at + words.size() <= text.size(); at += words.size()) std::copy(words.begin(), words.end(), text.begin() + at);
    Bytes binaryAfterText = text;
    binaryAfterText[300] = 0;
    Bytes cutInACharacter(20000, 'a');  // the text probe ends inside an "é"
    cutInACharacter[511] = 0xC3;
    cutInACharacter[512] = 0xA9;
    const Bytes mp3ToTheEnd(mp3.begin(), mp3.begin() + 417 + 4);  // the second header ends the file
    // No ID3 tag, and a first frame one padding byte longer.
    Bytes padded = withHead({0xFF, 0xFB, 0x92, 0x00});
    std::copy_n(padded.begin(), 4, padded.begin() + 418);
    // Headers shorter than their fixed part: nothing known.
    const Bytes riffCut = {'R', 'I', 'F', 'F', 0x10, 0, 0, 0, 'W', 'A', 'V'};
    Bytes wave64Cut = WavBuilder(WavForm::wave64).bytes();
    wave64Cut.resize(39);
    const std::pair<Bytes, std::string> cases[] = {
        {withHead({'f', 'L', 'a', 'C'}), "a FLAC file"},
        {withHead({'O', 'g', 'g', 'S'}), "an Ogg file"},
        {withHead({'I', 'D', '3', 4}), "an MP3 file"},
        {mp3, "an MP3 file"},
        {padded, "an MP3 file"},
        {mp3ToTheEnd, "an MP3 file"},
        {withHead({'F', 'O', 'R', 'M', 0, 0, 0, 0, 'A', 'I', 'F', 'F'}), "an AIFF file"},
        {withHead({'c', 'a', 'f', 'f'}), "a CAF file"},
        {withHead({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}), "a RIFF file of type 'AVI '"},
        {withHead({'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}), "a big-endian RIFX file"},
        {withHead({0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'M', '4', 'A', ' '}), "an MPEG-4 audio (M4A) file"},
        {withHead({0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'}), "an MPEG-4 file"},
        {withHead({'.', 's', 'n', 'd', 0, 0, 0, 24}), "a Sun AU file"},
        {withHead({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}),
         "an ASF (WMA) file"},
        {withHead({0x1A, 0x45, 0xDF, 0xA3}), "a Matroska or WebM file"},
        {adts, "an AAC (ADTS) file"},
        {withHead({0x1F, 0x8B, 0x08}), "a gzip file"},
        {withHead({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}), "a PNG file"},
        {text, "a text file"},
        {cutInACharacter, "a text file"},
        // Not recognised: no WAV file, and nothing says what it is.
        {lonelyFrame, ""},
        {withHead({'F', 'O', 'R', 'M', 0, 0, 0, 0, '8', 'S', 'V', 'X'}), ""},
        {binaryAfterText, ""},
        {filled(20000, 0x00), ""},
        {riffCut, ""},
        {wave64Cut, ""},
    };
    for (const auto& [file, what] : cases) {
        const std::optional<WavLayout> layout = layoutOf(file);
        ASSERT_TRUE(layout) << what;
        EXPECT_EQ(layout->container, what.empty() ? Container::unknown : Container::foreign) << what;
        EXPECT_EQ(layout->foreign.what, what);
    }
}

TEST(WavLayout, AFailedReadIsReported) {
    const Bytes file = WavBuilder{}.format(1, 2, 16).chunk("data", filled(20000)).bytes();
    int reads = 0;
    const auto failSecond = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        std::memcpy(into.data(), file.data() + offset, into.size());
        return ++reads < 2;
    };
    EXPECT_FALSE(findWavLayout(file.size(), failSecond));
}

}  // namespace
}  // namespace twoband
