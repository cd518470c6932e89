// Files written by srec_cat, GNU objcopy and Python's intelhex module are read back to the same blocks
// and bytes, and the files our writers write are read by those tools to the same bytes. A test whose
// tool is not installed is skipped.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hexfile/GenericInFile.h"
#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MotorolaS_OutFile.h"
#include "tests/hexfile/hexfile_test_support.h"

namespace {

using hexfile_test::Blocks;
using hexfile_test::CoutCapture;

// Debian's Python modules belong to this interpreter, whatever python3 comes first on the path.
const std::string python = "/usr/bin/python3";

struct Image {
    uint64_t start;
    std::vector<uint8_t> bytes;
    uint64_t end() const { return start + bytes.size(); }
};

struct Command {
    int status;
    std::string output;  // standard output and standard error
};

Command run(const std::string& command) {
    Command result{-1, ""};
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, got);
    }
    result.status = ::pclose(pipe);
    return result;
}

bool installed(const std::string& tool) {
    return run("command -v " + tool).status == 0;
}

bool pythonIntelhex() {
    return run(python + " -c 'import intelhex'").status == 0;
}

#define REQUIRE_TOOL(available, name)                    \
    do {                                                 \
        if (!(available)) {                              \
            GTEST_SKIP() << name << " is not installed"; \
        }                                                \
    } while (false)

std::string hex(uint64_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

std::vector<uint8_t> randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(generator());
    }
    return bytes;
}

// Separate images with gaps between them, at low and high addresses and across 64 KiB windows; the
// highest one ends where the file's addressing ends.
std::vector<Image> layout(bool segment) {
    return {{0x10, randomBytes(0x150, 1)},
            {0x1FFF0, randomBytes(0x20020, 2)},
            {segment ? 0x80000u : 0x08000000u, randomBytes(0x1000, 3)},
            {segment ? 0xFFF00u : 0xFFFFFF00u, randomBytes(0x100, 4)}};
}

std::string bytesToHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::vector<uint8_t> hexToBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

class Interop : public hexfile_test::HexfileTest {
  protected:
    std::string binary(const std::string& name, const std::vector<uint8_t>& bytes) const {
        return writeText(name, std::string(bytes.begin(), bytes.end()));
    }

    // Reads the file through format detection: the images come back as its blocks, with their bytes,
    // and nothing is printed.
    void expectRead(const std::string& file, const std::vector<Image>& images) const {
        CoutCapture out;
        const Io::Import::GenericInFile importer(file.c_str());
        EXPECT_EQ(out.take(), "");
        Blocks blocks;
        for (const Image& image : images) {
            blocks.push_back({image.start, image.bytes.size()});
        }
        EXPECT_EQ(importer.getBlockList(), blocks);
        for (const Image& image : images) {
            EXPECT_EQ(hexfile_test::bytesOf(importer.getMemory(image.start, image.bytes.size())), image.bytes)
                << "image at " << hex(image.start);
        }
    }

    void writeIntelHex(const std::string& file, const std::vector<Image>& images, bool segment,
                       uint64_t start) const {
        Io::Export::IntelHexOutFile writer(file.c_str(), {segment, 16});
        for (const Image& image : images) {
            writer.insertMemoryBuffer(hexfile_test::imageOf(image.start, image.bytes));
        }
        writer.setStartAddress(start);
        writer.writeFile();
    }

    void writeSRecord(const std::string& file, const std::vector<Image>& images, uint64_t start) const {
        Io::Export::MotorolaS_OutFile writer(file.c_str(), {});
        for (const Image& image : images) {
            writer.insertMemoryBuffer(hexfile_test::imageOf(image.start, image.bytes));
        }
        writer.setStartAddress(start);
        writer.writeFile();
    }

    // srec_cat reads the file to exactly the images' ranges and bytes and the start address.
    void expectSrecCatReads(const std::string& file, const char* format, const std::vector<Image>& images,
                            uint64_t start) const {
        const Command info = run("srec_info " + file + " " + format);
        ASSERT_EQ(info.status, 0) << info.output;
        std::istringstream lines(info.output);
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        uint64_t startAddress = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Execution Start Address:", 0) == 0) {
                startAddress = std::stoull(line.substr(24), nullptr, 16);
            } else if (line.find(" - ") != std::string::npos) {
                const std::size_t dash = line.find(" - ");
                const std::size_t first = line.find_first_of("0123456789ABCDEF", line.rfind(' ', dash - 1));
                ranges.emplace_back(std::stoull(line.substr(first, dash - first), nullptr, 16),
                                    std::stoull(line.substr(dash + 3), nullptr, 16));
            }
        }
        std::vector<std::pair<uint64_t, uint64_t>> expected;
        for (const Image& image : images) {
            expected.emplace_back(image.start, image.end() - 1);
        }
        EXPECT_EQ(ranges, expected) << info.output;
        EXPECT_EQ(startAddress, start);
        for (const Image& image : images) {
            // srec_cat's crop cannot end at 2^32 (it aborts); the last byte of such an image is left out
            // of the comparison, its address is in the range above.
            const uint64_t end = std::min<uint64_t>(image.end(), 0xFFFFFFFF);
            const std::string out = path("crop.bin");
            const Command crop = run("srec_cat " + file + " " + format + " -crop " + hex(image.start) + " " +
                                     hex(end) + " -offset -" + hex(image.start) + " -o " + out + " -binary");
            ASSERT_EQ(crop.status, 0) << crop.output;
            const std::string bytes = readText("crop.bin");
            EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
                      std::vector<uint8_t>(image.bytes.begin(), image.bytes.begin() + (end - image.start)))
                << "image at " << hex(image.start);
        }
    }

    // GNU objcopy makes one section of each run of data; each holds an image's bytes.
    void expectObjcopyReads(const std::string& file, const char* format,
                            const std::vector<Image>& images) const {
        const Command sections = run(std::string("objdump -h -b ") + format + " " + file);
        ASSERT_EQ(sections.status, 0) << sections.output;
        std::istringstream lines(sections.output);
        std::vector<Image> found;
        std::vector<std::string> names;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string index, name, size, vma;
            if (fields >> index >> name >> size >> vma && name.rfind(".sec", 0) == 0) {
                names.push_back(name);
                found.push_back(
                    {std::stoull(vma, nullptr, 16), std::vector<uint8_t>(std::stoull(size, nullptr, 16))});
            }
        }
        // Sections that follow on each other without a gap (objcopy starts a new one at every extended
        // address record) make one image.
        std::vector<Image> merged;
        for (std::size_t i = 0; i < found.size(); ++i) {
            const std::string out = path("section.bin");
            const Command copy = run(std::string("objcopy -I ") + format + " -O binary -j " + names[i] + " " +
                                     file + " " + out);
            ASSERT_EQ(copy.status, 0) << copy.output;
            const std::string bytes = readText("section.bin");
            ASSERT_EQ(bytes.size(), found[i].bytes.size());
            if (merged.empty() || merged.back().end() != found[i].start) {
                merged.push_back({found[i].start, {}});
            }
            merged.back().bytes.insert(merged.back().bytes.end(), bytes.begin(), bytes.end());
        }
        ASSERT_EQ(merged.size(), images.size()) << sections.output;
        for (std::size_t i = 0; i < images.size(); ++i) {
            EXPECT_EQ(merged[i].start, images[i].start);
            EXPECT_EQ(merged[i].bytes, images[i].bytes) << "image at " << hex(images[i].start);
        }
    }
};

TEST_F(Interop, SrecCatFilesAreRead) {
    REQUIRE_TOOL(installed("srec_cat"), "srec_cat");
    for (const bool segment : {false, true}) {
        SCOPED_TRACE(segment ? "segment" : "linear");
        const std::vector<Image> images = layout(segment);
        std::string inputs;
        for (std::size_t i = 0; i < images.size(); ++i) {
            inputs += binary("in" + std::to_string(i) + ".bin", images[i].bytes) + " -binary -offset " +
                      hex(images[i].start) + " ";
        }
        const struct {
            const char* name;
            const char* options;
        } outputs[] = {{"out.hex", segment ? "-intel --address-length=3" : "-intel"},
                       {"out.s19", "-motorola"},
                       {"out.s28", "-motorola --address-length=3"},
                       {"out.s37", "-motorola --address-length=4"}};
        for (const auto& output : outputs) {
            if (!segment && std::string(output.options).find("length=3") != std::string::npos) {
                continue;
            }
            SCOPED_TRACE(output.options);
            const Command made = run("srec_cat " + inputs + "-o " + path(output.name) + " " + output.options);
            ASSERT_EQ(made.status, 0) << made.output;
            expectRead(path(output.name), images);
        }
    }
}

// More than 65535 data records: srec_cat ends the file with one S6 count record.
TEST_F(Interop, SrecCatFileWithA24BitCountRecordIsRead) {
    REQUIRE_TOOL(installed("srec_cat"), "srec_cat");
    const std::vector<Image> images{{0x100, randomBytes(70000 * 16, 5)}};
    const Command made = run("srec_cat " + binary("in.bin", images[0].bytes) + " -binary -offset 0x100 -o " +
                             path("big.s19") + " -motorola -obs=16");
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_NE(readText("big.s19").find("\nS6"), std::string::npos);
    expectRead(path("big.s19"), images);
}

// objcopy writes CRLF line ends and an S0 record holding only the file name.
TEST_F(Interop, ObjcopyFilesAreRead) {
    REQUIRE_TOOL(installed("objcopy"), "objcopy");
    for (const Image& image : layout(false)) {
        SCOPED_TRACE(hex(image.start));
        const std::string in = binary("in.bin", image.bytes);
        for (const char* options : {"-O ihex", "-O srec", "-O srec --srec-forceS3"}) {
            SCOPED_TRACE(options);
            const Command made = run(std::string("objcopy -I binary ") + options + " --change-addresses " +
                                     hex(image.start) + " " + in + " " + path("out"));
            ASSERT_EQ(made.status, 0) << made.output;
            ASSERT_NE(readText("out").find("\r\n"), std::string::npos);
            expectRead(path("out"), {image});
        }
    }
}

TEST_F(Interop, PythonIntelhexFilesAreRead) {
    REQUIRE_TOOL(pythonIntelhex(), "Python's intelhex module");
    const std::vector<Image> images = layout(false);
    std::string description;
    for (const Image& image : images) {
        description += hex(image.start) + " " + bytesToHex(image.bytes) + "\n";
    }
    writeText("images.txt", description);
    const Command made = run(python +
                             " -c 'import sys\n"
                             "from intelhex import IntelHex\n"
                             "ih = IntelHex()\n"
                             "for line in open(sys.argv[1]):\n"
                             "    start, data = line.split()\n"
                             "    ih.puts(int(start, 16), bytes.fromhex(data))\n"
                             "ih.start_addr = {\"EIP\": 0x12345}\n"
                             "ih.write_hex_file(sys.argv[2])' " +
                             path("images.txt") + " " + path("out.hex"));
    ASSERT_EQ(made.status, 0) << made.output;
    expectRead(path("out.hex"), images);
    const Io::Import::GenericInFile importer(path("out.hex").c_str());
    EXPECT_TRUE(importer.hasStartAddress());
    EXPECT_EQ(importer.getStartAddress(), 0x12345u);
}

TEST_F(Interop, SrecCatReadsOurFiles) {
    REQUIRE_TOOL(installed("srec_cat") && installed("srec_info"), "srec_cat");
    for (const bool segment : {false, true}) {
        SCOPED_TRACE(segment ? "segment" : "linear");
        const std::vector<Image> images = layout(segment);
        writeIntelHex(path("ours.hex"), images, segment, 0x12345);
        expectSrecCatReads(path("ours.hex"), "-intel", images, 0x12345);
        writeSRecord(path("ours.s19"), images, 0x12345);
        expectSrecCatReads(path("ours.s19"), "-motorola", images, 0x12345);
    }
}

TEST_F(Interop, ObjcopyReadsOurFiles) {
    REQUIRE_TOOL(installed("objcopy") && installed("objdump"), "objcopy");
    for (const bool segment : {false, true}) {
        SCOPED_TRACE(segment ? "segment" : "linear");
        const std::vector<Image> images = layout(segment);
        writeIntelHex(path("ours.hex"), images, segment, 0x12345);
        expectObjcopyReads(path("ours.hex"), "ihex", images);
        writeSRecord(path("ours.s19"), images, 0x12345);
        expectObjcopyReads(path("ours.s19"), "srec", images);
    }
}

TEST_F(Interop, PythonIntelhexReadsOurFiles) {
    REQUIRE_TOOL(pythonIntelhex(), "Python's intelhex module");
    for (const bool segment : {false, true}) {
        SCOPED_TRACE(segment ? "segment" : "linear");
        const std::vector<Image> images = layout(segment);
        writeIntelHex(path("ours.hex"), images, segment, 0x12345);
        const Command dump =
            run(python +
                " -c 'import sys\n"
                "from intelhex import IntelHex\n"
                "ih = IntelHex(sys.argv[1])\n"
                "for start, end in ih.segments():\n"
                "    print(\"%x %s\" % (start, ih.tobinstr(start=start, end=end - 1).hex()))\n"
                "print(ih.start_addr)' " +
                path("ours.hex"));
        ASSERT_EQ(dump.status, 0) << dump.output;
        std::istringstream lines(dump.output);
        for (const Image& image : images) {
            std::string start, data;
            ASSERT_TRUE(lines >> start >> data) << dump.output;
            EXPECT_EQ(std::stoull(start, nullptr, 16), image.start);
            EXPECT_EQ(hexToBytes(data), image.bytes) << "image at " << hex(image.start);
        }
        std::string startAddress;
        std::getline(lines >> std::ws, startAddress);
        EXPECT_EQ(startAddress, segment ? "{'CS': 4660, 'IP': 5}" : "{'EIP': 74565}");
    }
}

// One count record for the whole file: srec_cat and objcopy take a file of more than 131072 data
// records, which a count record after every 65535 would make srec_cat refuse.
TEST_F(Interop, ToolsReadOurSRecordFileOfMoreThan131072DataRecords) {
    REQUIRE_TOOL(installed("srec_cat") || installed("objcopy"), "srec_cat and objcopy");
    const std::vector<Image> images{{0x10000, randomBytes(131073 * 36, 6)}};
    writeSRecord(path("big.s19"), images, 0);
    if (installed("srec_cat")) {
        expectSrecCatReads(path("big.s19"), "-motorola", images, 0);
    }
    if (installed("objcopy")) {
        expectObjcopyReads(path("big.s19"), "srec", images);
    }
}

// srec_cat refuses a file without data, so a writer with nothing inserted makes a file it rejects.
// Files as other tools and editors pass them on: padding after the last record, carriage returns alone
// as line ends, blanks after the records. Each is read to the blocks and bytes of the file it was made
// from; where a peer reads it too, the peer gives the same bytes (it writes them out again, and that
// file reads to the same blocks).
TEST_F(Interop, PaddedAndEditedFilesReadAsThePeersReadThem) {
    REQUIRE_TOOL(installed("srec_cat"), "srec_cat");
    const std::vector<Image> images = {{0x10, randomBytes(0x150, 5)}, {0x1FFF0, randomBytes(0x30, 6)}};
    std::string inputs;
    for (std::size_t i = 0; i < images.size(); ++i) {
        inputs += binary("in" + std::to_string(i) + ".bin", images[i].bytes) + " -binary -offset " +
                  hex(images[i].start) + " ";
    }
    const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        for (std::size_t at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
        return text;
    };
    for (const char* format : {"-intel", "-motorola"}) {
        SCOPED_TRACE(format);
        const Command made = run("srec_cat " + inputs + "-o " + path("made") + " " + format);
        ASSERT_EQ(made.status, 0) << made.output;
        const std::string records = readText("made");
        const struct {
            const char* name;
            std::string text;
        } variants[] = {
            {"NulPadding", records + std::string(64, '\0')},
            {"ErasedFlashPadding", records + std::string(32, '\xFF')},
            {"CarriageReturnLineEnds", replaced(records, "\n", "\r")},
            {"BlanksAfterTheRecords", replaced(records, "\n", " \t\n")},
        };
        for (const auto& variant : variants) {
            SCOPED_TRACE(variant.name);
            const std::string file = writeText("variant", variant.text);
            expectRead(file, images);
            const std::string peers[] = {
                "srec_cat " + file + " " + format + " -o " + path("again.hex") + " -intel",
                std::string(format) == "-intel" && pythonIntelhex()
                    ? python +
                          " -c 'import sys\nfrom intelhex import IntelHex\nih = IntelHex(sys.argv[1])\n"
                          "ih.write_hex_file(sys.argv[2])' " +
                          file + " " + path("again.hex")
                    : "",
            };
            for (const std::string& peer : peers) {
                if (peer.empty() || run(peer).status != 0) {
                    continue;  // this peer does not read such a file
                }
                SCOPED_TRACE(peer);
                expectRead(path("again.hex"), images);
            }
        }
    }
}

TEST_F(Interop, SrecCatRefusesAFileWithoutData) {
    REQUIRE_TOOL(installed("srec_cat"), "srec_cat");
    writeIntelHex(path("empty.hex"), {}, false, 0);
    EXPECT_EQ(readText("empty.hex"), ":0400000500000000F7\n:00000001FF\n");
    EXPECT_NE(run("srec_cat " + path("empty.hex") + " -intel -o " + path("empty.bin") + " -binary").status,
              0);
}

}  // namespace
