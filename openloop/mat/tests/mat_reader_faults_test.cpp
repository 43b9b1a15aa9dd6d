// The MAT reader on hand-built files: layout rules, and damaged files refused without harm.
#include "MatBytes.h"

#include <krv/MatFileReader.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>

using namespace MatBytes;
using MirrorKit::MatFileError;
using MirrorKit::MatFileReader;
using MirrorKit::MatlabIOContainer;
using MirrorKit::MatlabVariables;

namespace {

class MatReader : public ::testing::Test {
protected:
    MatlabVariables readFile(const Bytes& content)
    {
        const std::string path = dir.write("t" + std::to_string(++count) + ".mat", content);
        MatFileReader r;
        EXPECT_TRUE(r.open(path, "r"));
        MatlabVariables v = r.read();
        r.close();
        return v;
    }

    // The reader must refuse the file with an error that mentions `what`, and say so without throwing
    // through tryRead as well.
    void expectRefused(const Bytes& content, const std::string& what)
    {
        const std::string path = dir.write("bad" + std::to_string(++count) + ".mat", content);
        MatFileReader r;
        ASSERT_TRUE(r.open(path, "r"));
        try {
            r.read();
            ADD_FAILURE() << "file accepted; expected refusal mentioning: " << what;
        } catch (const MatFileError& e) {
            EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
        }
        r.close();
        ASSERT_TRUE(r.open(path, "r"));
        MatlabVariables vars{MatlabIOContainer("stale", 1.0)};
        std::string error;
        EXPECT_FALSE(r.tryRead(vars, error));
        EXPECT_TRUE(vars.empty());
        EXPECT_NE(error.find(what), std::string::npos) << error;
    }

    TempDir dir;
    int count = 0;
};

Bytes d32() { return doubles("d32", 3, 2, {1, 2, 3, 4, 5, 6}); }

TEST_F(MatReader, ShapesFollowMatlabRowsAndColumns)
{
    auto vars = readFile(cat({header(), doubles("one", 1, 1, {42.5}), d32()}));
    ASSERT_EQ(vars.size(), 2u);
    const cv::Mat one = MatFileReader::find<cv::Mat>(vars, "one");
    EXPECT_EQ(one.rows, 1);
    EXPECT_EQ(one.cols, 1);
    EXPECT_EQ(one.type(), CV_64FC1);
    EXPECT_EQ(one.at<double>(0, 0), 42.5);

    // Column-major 1..6 in a 3 x 2 array: (r, c) holds 1 + r + 3c.
    const cv::Mat m = MatFileReader::find<cv::Mat>(vars, "d32");
    ASSERT_EQ(m.rows, 3);
    ASSERT_EQ(m.cols, 2);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 2; ++c)
            EXPECT_EQ(m.at<double>(r, c), 1 + r + 3 * c) << r << "," << c;
}

TEST_F(MatReader, LargeMatrixIsTransposedAcrossChunks)
{
    // Big enough that the values pass through several chunks, with a row count that does not divide them.
    const int rows = 1031, cols = 301;
    std::vector<double> v(static_cast<size_t>(rows) * cols);
    for (size_t k = 0; k < v.size(); ++k)
        v[k] = static_cast<double>(k);
    for (bool packed : {false, true}) {
        const Bytes var = doubles("big", rows, cols, v);
        auto vars = readFile(cat({header(), packed ? compressed(var) : var}));
        const cv::Mat m = MatFileReader::find<cv::Mat>(vars, "big");
        ASSERT_EQ(m.rows, rows);
        ASSERT_EQ(m.cols, cols);
        int wrong = 0;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                wrong += m.at<double>(r, c) != r + static_cast<double>(rows) * c;
        EXPECT_EQ(wrong, 0) << (packed ? "compressed" : "plain");
    }
}

TEST_F(MatReader, SmallElementsAndNarrowStoredTypes)
{
    // A 1 x 1 int16 class stored as a small int8 element, the way writers shrink integral data, and
    // a double class stored as uint8.
    Bytes smallData = tag(1 | (1u << 16), 0);
    smallData[4] = static_cast<unsigned char>(-5);
    const Bytes i16 = matrix(10, {1, 1}, "s", smallData);
    const Bytes dbl = matrix(6, {1, 3}, "u", element(2, Bytes{200, 0, 7}));
    auto vars = readFile(cat({header(), i16, dbl}));
    const cv::Mat s = MatFileReader::find<cv::Mat>(vars, "s");
    EXPECT_EQ(s.type(), CV_16SC1);
    EXPECT_EQ(s.at<short>(0, 0), -5);
    const cv::Mat u = MatFileReader::find<cv::Mat>(vars, "u");
    EXPECT_EQ(u.type(), CV_64FC1);
    EXPECT_EQ(u.at<double>(0, 0), 200.0);
    EXPECT_EQ(u.at<double>(0, 2), 7.0);
}

TEST_F(MatReader, CompressedEqualsPlain)
{
    auto plain = readFile(cat({header(), d32()}));
    auto packed = readFile(cat({header(), compressed(d32())}));
    ASSERT_EQ(packed.size(), 1u);
    EXPECT_EQ(packed[0].name, "d32");
    const cv::Mat a = MatFileReader::find<cv::Mat>(plain, "d32");
    const cv::Mat b = MatFileReader::find<cv::Mat>(packed, "d32");
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
}

TEST_F(MatReader, LookupByNameAndType)
{
    const Bytes text = matrix(4, {1, 3}, "nm", element(16, Bytes{'a', 'b', 'c'}));
    auto vars = readFile(cat({header(), d32(), text}));
    EXPECT_EQ(MatFileReader::find<std::string>(vars, "nm"), "abc");
    try {
        MatFileReader::find<cv::Mat>(vars, "coeffs");
        ADD_FAILURE() << "missing variable found";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Variable not found: coeffs");
    }
    EXPECT_THROW(MatFileReader::find<std::string>(vars, "d32"), boost::bad_any_cast);
    // Lookups match the whole name only.
    EXPECT_THROW(MatFileReader::find<cv::Mat>(vars, "d3"), std::logic_error);
}

TEST_F(MatReader, UnhandledElementsKeepTheirPlace)
{
    // A bare numeric element at top level, a small one, and a function-handle class.
    const Bytes loose = element(9, raw(std::vector<double>{1.0}));
    const Bytes tiny = tag(5 | (4u << 16), 7);
    const Bytes handle = matrix(16, {1, 1}, "fh", element(2, Bytes{1}));
    auto vars = readFile(cat({header(), loose, tiny, handle, d32()}));
    ASSERT_EQ(vars.size(), 4u);
    EXPECT_TRUE(vars[0].name.empty());
    EXPECT_TRUE(vars[0].data.empty());
    EXPECT_TRUE(vars[1].data.empty());
    EXPECT_EQ(vars[2].name, "fh");
    EXPECT_TRUE(vars[2].data.empty());
    EXPECT_TRUE(vars[3].holds<cv::Mat>());
}

TEST_F(MatReader, CorruptCompressedVariableIsRefused)
{
    Bytes var = compressed(d32());
    // First deflate block header (after the tag and the two-byte zlib header): reserved block type.
    var[8 + 2] = 0x07;
    expectRefused(cat({header(), var}), "inflate");

    // Not a zlib stream at all.
    Bytes junk = tag(15, 16);
    junk.resize(junk.size() + 16, 0xEE);
    expectRefused(cat({header(), junk}), "inflate");

    // A valid stream that stops before the inner element ends.
    Bytes inner = d32();
    inner[4] = static_cast<unsigned char>(inner[4] + 64);  // inner size claims 64 more bytes
    expectRefused(cat({header(), compressed(inner)}), "inflate");

    // Damage that still inflates: only the stream's checksum shows it, at the end of a stream that carries
    // padding after the variable.
    const Bytes padded = cat({d32(), Bytes(8, 0)});
    auto good = readFile(cat({header(), compressed(padded)}));
    EXPECT_EQ(good.size(), 1u);
    Bytes checked = compressed(padded);
    checked.back() ^= 0x5A;
    expectRefused(cat({header(), checked}), "inflate");

    // An inner size no deflate stream of this length could produce.
    Bytes bomb = tag(14, 0xFFFFFFF0u);
    expectRefused(cat({header(), compressed(bomb)}), "claims more data");

    // The process goes on and reads good files afterwards.
    auto vars = readFile(cat({header(), compressed(d32())}));
    EXPECT_EQ(vars.size(), 1u);
}

TEST_F(MatReader, SizesPastTheFileOrTheParentAreRefused)
{
    // Top-level element claiming almost 4 GB in a tiny file.
    Bytes huge = d32();
    huge[4] = huge[5] = huge[6] = 0xFF;
    huge[7] = 0xFF;
    expectRefused(cat({header(), huge}), "runs past");

    // Real part claiming more than the matrix holds.
    Bytes body = matrixBody(6, {3, 2}, "x", cat({tag(9, 48 + 800), raw(std::vector<double>(6, 1.0))}));
    expectRefused(cat({header(), element(14, body)}), "runs past");

    // A cell member longer than the cell.
    Bytes cellBody = matrixBody(1, {1, 1}, "c", tag(14, 4096));
    expectRefused(cat({header(), element(14, cellBody)}), "runs past");

    // File cut in the middle of an element, and a file shorter than its header.
    const Bytes whole = cat({header(), d32()});
    expectRefused(Bytes(whole.begin(), whole.end() - 20), "runs past");
    expectRefused(Bytes(whole.begin(), whole.begin() + 100), "too short");
    // Trailing bytes too few for a tag.
    expectRefused(cat({whole, Bytes{1, 2, 3}}), "runs past");
}

TEST_F(MatReader, ImpossibleDimensionsAreRefused)
{
    const int big = 2147483647;
    // Product of dimensions beyond 64 bits.
    expectRefused(cat({header(), matrix(6, {big, big, big, 8}, "o", element(9, raw(std::vector<double>{1})))}),
                  "overflow");
    // A product that fits but does not match the data must not allocate it.
    expectRefused(cat({header(), matrix(6, {100000, 100000}, "n", element(9, raw(std::vector<double>{1})))}),
                  "does not match");
    // A cell claiming billions of members holds only what its bytes allow.
    expectRefused(cat({header(), matrix(1, {big, big}, "c", d32())}), "more elements");
    // Negative dimensions.
    expectRefused(cat({header(), matrix(6, {-1, 2}, "n", element(9, raw(std::vector<double>{1, 2})))}), "negative");
}

// Elements that store nothing per element must not be allowed to claim any number of them.
TEST_F(MatReader, FieldlessStructsHoldOnlyWhatTheirBytesAllow)
{
    const Bytes noFields = cat({element(5, raw(std::vector<std::int32_t>{1})), element(1, Bytes{})});
    auto vars = readFile(cat({header(), matrix(2, {1, 1}, "s", noFields)}));
    const auto s = MatFileReader::find<MatlabIOContainer::Struct>(vars, "s");
    ASSERT_EQ(s.size(), 1u);
    EXPECT_TRUE(s[0].empty());

    expectRefused(cat({header(), matrix(2, {5000000, 1}, "s", noFields)}), "more elements");
    expectRefused(cat({header(), compressed(matrix(2, {2147483647, 2147483647}, "s", noFields))}), "more elements");
}

// This process's resident memory from /proc/self/status ("VmRSS", or "VmHWM" for its peak), in bytes.
std::uint64_t residentBytes(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, key.size(), key) == 0)
            return std::stoull(line.substr(key.size())) * 1024;
    return 0;
}

// A few hundred kilobytes of compressed data can claim millions of empty cell elements; each would cost a
// container. Such a file is refused from its size before the elements are read, and costs almost nothing.
TEST_F(MatReader, CompressedCellOfMillionsOfEmptyElementsIsRefusedSmall)
{
    constexpr std::int32_t kElements = 8 << 20;
    std::string path;
    std::size_t packed = 0;
    {
        Bytes empties(static_cast<std::size_t>(kElements) * 8, 0);
        for (std::size_t k = 0; k < empties.size(); k += 8)
            empties[k] = 14;  // a bare miMATRIX tag of size 0: an empty element
        const Bytes inner = matrix(1, {1, kElements}, "c", empties);
        const Bytes var = compressed(inner);
        packed = var.size();
        // The claim is one that deflate can really make, so it is the elements that must be refused.
        ASSERT_LT(inner.size(), 1032 * packed);
        path = dir.write("cells.mat", cat({header(), var}));
    }
    // Peak resident memory from here on (writing 5 to clear_refs resets it to the current size).
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::uint64_t before = residentBytes("VmRSS");
    MatFileReader r;
    ASSERT_TRUE(r.open(path, "r"));
    MatlabVariables vars;
    std::string error;
    EXPECT_FALSE(r.tryRead(vars, error));
    EXPECT_NE(error.find("more elements than a file of this size can"), std::string::npos) << error;
    const std::uint64_t peak = residentBytes("VmHWM");
    // 8 Mi containers would take some 320 MB; the refusal takes what the reader's buffers need.
    EXPECT_LT(peak - std::min(peak, before), std::uint64_t(48) << 20)
        << packed << "-byte variable; peak " << peak << ", before " << before;
}

// A FIFO in place of a table is refused at once instead of blocking the reader.
TEST_F(MatReader, FifoIsNotOpened)
{
    const std::string fifo = dir.write("placeholder.mat", header()) + ".fifo.mat";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::alarm(20);  // a reader that blocks ends the test program instead of hanging it
    MatFileReader r;
    EXPECT_FALSE(r.open(fifo, "r"));
    ::alarm(0);
    ::unlink(fifo.c_str());
}

Bytes nestedCells(int depth)
{
    Bytes inner = d32();
    for (int k = 0; k < depth; ++k)
        inner = matrix(1, {1, 1}, "", inner);
    return inner;
}

TEST_F(MatReader, NestingIsLimited)
{
    auto vars = readFile(cat({header(), nestedCells(MatFileReader::kMaxNesting)}));
    ASSERT_EQ(vars.size(), 1u);
    const MatlabIOContainer* c = &vars[0];
    int levels = 0;
    while (c->holds<MatlabIOContainer::Cell>()) {
        const auto& cell = boost::any_cast<const MatlabIOContainer::Cell&>(c->data);
        ASSERT_EQ(cell.size(), 1u);
        c = &cell[0];
        ++levels;
    }
    EXPECT_EQ(levels, MatFileReader::kMaxNesting);
    EXPECT_TRUE(c->holds<cv::Mat>());

    expectRefused(cat({header(), nestedCells(MatFileReader::kMaxNesting + 2)}), "nested deeper");
    expectRefused(cat({header(), compressed(nestedCells(200))}), "nested deeper");
}

TEST_F(MatReader, StructsCellsCharsAndComplex)
{
    const Bytes fields = cat({element(5, raw(std::vector<std::int32_t>{8})),
                              element(1, Bytes{'a', 0, 0, 0, 0, 0, 0, 0, 'l', 'o', 'n', 'g', 'e', 'r', 0, 0})});
    const Bytes st = matrix(2, {1, 2}, "st",
                            cat({fields, doubles("", 1, 1, {1}), matrix(4, {1, 2}, "", element(4, raw(std::vector<std::uint16_t>{'h', 'i'}))),
                                 doubles("", 1, 2, {2, 3}), tag(14, 0)}));
    const Bytes cell = matrix(1, {2, 1}, "cl", cat({doubles("", 1, 1, {9}), matrix(4, {1, 1}, "", element(16, Bytes{'z'}))}));
    const Bytes cplx = matrix(6, {1, 2}, "cx", cat({element(9, raw(std::vector<double>{1, 2})),
                                                   element(9, raw(std::vector<double>{-1, -2}))}), 0x0800);
    const Bytes sparse = matrix(5, {3, 3}, "sp", cat({element(5, raw(std::vector<std::int32_t>{0, 1, 2})),
                                                     element(5, raw(std::vector<std::int32_t>{0, 1, 2, 3})),
                                                     element(9, raw(std::vector<double>{1, 1, 1}))}));
    auto vars = readFile(cat({header(), st, cell, cplx, sparse}));

    const auto s = MatFileReader::find<MatlabIOContainer::Struct>(vars, "st");
    ASSERT_EQ(s.size(), 2u);
    ASSERT_EQ(s[0].size(), 2u);
    EXPECT_EQ(s[0][0].name, "a");
    EXPECT_EQ(s[0][1].name, "longer");
    EXPECT_EQ(boost::any_cast<std::string>(s[0][1].data), "hi");  // UTF-16 char data read whole
    EXPECT_EQ(boost::any_cast<cv::Mat>(s[1][0].data).at<double>(0, 1), 3.0);
    EXPECT_EQ(s[1][1].name, "longer");
    EXPECT_TRUE(s[1][1].data.empty());  // an empty member written as a bare tag

    const auto c = MatFileReader::find<MatlabIOContainer::Cell>(vars, "cl");
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(boost::any_cast<cv::Mat>(c[0].data).at<double>(0, 0), 9.0);
    EXPECT_EQ(boost::any_cast<std::string>(c[1].data), "z");

    const cv::Mat x = MatFileReader::find<cv::Mat>(vars, "cx");
    ASSERT_EQ(x.type(), CV_64FC2);
    EXPECT_EQ(x.at<cv::Vec2d>(0, 1), cv::Vec2d(2, -2));

    EXPECT_EQ(MatFileReader::find<std::string>(vars, "sp"), "");
}

// The same variables written big-endian must read the same, each value swapped by its own width.
Bytes bigEndianFile()
{
    auto be32 = [](std::uint32_t v) { Bytes b; put32(b, v, true); return b; };
    auto beTag = [&](std::uint32_t type, std::uint32_t size) { return cat({be32(type), be32(size)}); };
    auto beElement = [&](std::uint32_t type, const Bytes& data) {
        Bytes b = cat({beTag(type, static_cast<std::uint32_t>(data.size())), data});
        b.resize(b.size() + (8 - data.size() % 8) % 8, 0);
        return b;
    };
    auto beDoubles = [](std::vector<double> v) {
        Bytes b = raw(v);
        for (size_t k = 0; k < b.size(); k += 8)
            std::reverse(b.begin() + static_cast<long>(k), b.begin() + static_cast<long>(k) + 8);
        return b;
    };
    Bytes body = cat({beElement(6, cat({be32(6), be32(0)})), beElement(5, cat({be32(3), be32(2)})),
                      beElement(1, Bytes{'d', '3', '2'}), beElement(9, beDoubles({1, 2, 3, 4, 5, 6}))});
    Bytes d = cat({beTag(14, static_cast<std::uint32_t>(body.size())), body});
    Bytes i16body = cat({beElement(6, cat({be32(10), be32(0)})), beElement(5, cat({be32(1), be32(2)})),
                         beElement(1, Bytes{'i'}), beElement(3, Bytes{0x80, 0x01, 0x12, 0x34})});
    Bytes i16 = cat({beTag(14, static_cast<std::uint32_t>(i16body.size())), i16body});
    Bytes z = deflate(d);
    return cat({header("MI"), d, i16, beTag(15, static_cast<std::uint32_t>(z.size())), z});
}

TEST_F(MatReader, BigEndianFilesAreReadValueByValue)
{
    const std::string path = dir.write("be.mat", bigEndianFile());
    MatFileReader r;
    ASSERT_TRUE(r.open(path));
    const auto vars = r.read();
    EXPECT_TRUE(r.byteSwap());
    EXPECT_EQ(r.endianIndicator(), "MI");
    EXPECT_EQ(r.version(), 5);
    ASSERT_EQ(vars.size(), 3u);
    for (int k : {0, 2}) {
        const cv::Mat m = boost::any_cast<cv::Mat>(vars[static_cast<size_t>(k)].data);
        ASSERT_EQ(m.size(), cv::Size(2, 3));
        EXPECT_EQ(m.at<double>(2, 1), 6.0);
        EXPECT_EQ(m.at<double>(1, 0), 2.0);
    }
    const cv::Mat i = boost::any_cast<cv::Mat>(vars[1].data);
    EXPECT_EQ(i.at<short>(0, 0), static_cast<short>(0x8001));
    EXPECT_EQ(i.at<short>(0, 1), 0x1234);
}

TEST_F(MatReader, HeaderFieldsAndHdf5Files)
{
    MatFileReader r;
    const std::string path = dir.write("h5.mat", cat({header("IM", 0x0200), Bytes(384, 0)}));
    ASSERT_TRUE(r.open(path));
    EXPECT_THROW(r.read(), MatFileError);
    EXPECT_EQ(r.version(), 73);
    r.close();

    const std::string ok = dir.write("ok.mat", cat({header(), d32()}));
    ASSERT_TRUE(r.open(ok));
    r.read();
    EXPECT_EQ(r.version(), 5);
    EXPECT_EQ(r.endianIndicator(), "IM");
    EXPECT_FALSE(r.byteSwap());
    EXPECT_EQ(r.headerText().size(), 116u);
    EXPECT_FALSE(r.open(dir.write("x", Bytes{}) + ".missing"));
}

TEST_F(MatReader, FilesWithoutAMatHeaderAreRefused)
{
    // A header alone, a header without its version word, and one without the endian indicator.
    expectRefused(header(), "not a MAT file");
    expectRefused(cat({header("IM", 0), d32()}), "not a MAT file");
    expectRefused(cat({header("IM", 0x0101), d32()}), "not a MAT file");
    expectRefused(cat({header("XX"), d32()}), "not a MAT file");
    expectRefused(Bytes(136, 0), "not a MAT file");
}

TEST(EFStreamTest, SwapFlagExchangesBytesByWidth)
{
    TempDir dir;
    const std::string path = dir.write("s.bin", Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    MirrorKit::EFStream s;
    ASSERT_TRUE(s.open(path, std::ios::in));
    EXPECT_EQ(s.size(), 8u);
    unsigned char b[4];
    s.read(b, 4);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{1, 2, 3, 4}));
    s.setByteSwap(true);
    s.read(b, 2);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{6, 5}));  // pairs by default
    s.read(b, 2, 1);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{7, 8}));  // width 1: as stored
    EXPECT_TRUE(s.atEnd());
    EXPECT_THROW(s.read(b, 1), MatFileError);
}

}  // namespace
