// The MAT reader on files of an independent writer (the test data generator): every class, both
// byte orders, compressed and plain calibration tables.
#include <krv/MatFileReader.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

using MirrorKit::MatFileReader;
using MirrorKit::MatlabIOContainer;
using MirrorKit::MatlabVariables;

namespace {

std::string dataDir()
{
    if (const char* d = std::getenv("KRV_TESTDATA_DIR"))
        return d;
    if (const char* b = std::getenv("KRV_TEST_BINARY_DIR"))
        return std::string(b) + "/testdata";
    return {};
}

bool exists(const std::string& p) { return std::ifstream(p).good(); }

MatlabVariables load(const std::string& rel)
{
    MatFileReader r;
    const std::string path = dataDir() + "/" + rel;
    if (!r.open(path))
        throw std::runtime_error("cannot open " + path);
    auto v = r.read();
    r.close();
    return v;
}

#define REQUIRE_DATA(rel)                                                        \
    if (!exists(dataDir() + "/" + (rel)))                                        \
    GTEST_SKIP() << "generated test data missing: " << dataDir() << "/" << (rel)

// Deep comparison of two containers: same names, kinds, shapes, types and values.
::testing::AssertionResult same(const MatlabIOContainer& a, const MatlabIOContainer& b)
{
    if (a.name != b.name)
        return ::testing::AssertionFailure() << "names " << a.name << " / " << b.name;
    if (a.data.empty() || b.data.empty())
        return a.data.empty() == b.data.empty() ? ::testing::AssertionSuccess()
                                                 : ::testing::AssertionFailure() << a.name << ": one value empty";
    if (a.data.type() != b.data.type())
        return ::testing::AssertionFailure() << a.name << ": kinds differ";
    if (a.holds<cv::Mat>()) {
        const auto x = boost::any_cast<cv::Mat>(a.data), y = boost::any_cast<cv::Mat>(b.data);
        if (x.type() != y.type() || x.dims != y.dims || x.total() != y.total())
            return ::testing::AssertionFailure() << a.name << ": matrix shapes differ";
        for (int d = 0; d < x.dims; ++d)
            if (x.size[d] != y.size[d])
                return ::testing::AssertionFailure() << a.name << ": size " << d << " differs";
        if (x.total() && std::memcmp(x.data, y.data, x.total() * x.elemSize()) != 0)
            return ::testing::AssertionFailure() << a.name << ": values differ";
        return ::testing::AssertionSuccess();
    }
    if (a.holds<std::string>())
        return boost::any_cast<std::string>(a.data) == boost::any_cast<std::string>(b.data)
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << a.name << ": texts differ";
    auto list = [](const MatlabIOContainer::Cell& p, const MatlabIOContainer::Cell& q) {
        if (p.size() != q.size())
            return ::testing::AssertionFailure() << "list lengths differ";
        for (size_t k = 0; k < p.size(); ++k)
            if (auto r = same(p[k], q[k]); !r)
                return r;
        return ::testing::AssertionSuccess();
    };
    if (a.holds<MatlabIOContainer::Cell>())
        return list(boost::any_cast<const MatlabIOContainer::Cell&>(a.data),
                    boost::any_cast<const MatlabIOContainer::Cell&>(b.data));
    const auto& p = boost::any_cast<const MatlabIOContainer::Struct&>(a.data);
    const auto& q = boost::any_cast<const MatlabIOContainer::Struct&>(b.data);
    if (p.size() != q.size())
        return ::testing::AssertionFailure() << a.name << ": struct lengths differ";
    for (size_t k = 0; k < p.size(); ++k)
        if (auto r = list(p[k], q[k]); !r)
            return r;
    return ::testing::AssertionSuccess();
}

void expectSameFiles(const std::string& x, const std::string& y)
{
    const auto a = load(x), b = load(y);
    ASSERT_EQ(a.size(), b.size()) << x << " / " << y;
    for (size_t k = 0; k < a.size(); ++k)
        EXPECT_TRUE(same(a[k], b[k])) << x << " / " << y << " variable " << k;
}

template <class T, class F>
void expectGrid(const cv::Mat& m, int depth, F expected)
{
    ASSERT_EQ(m.dims, 2);
    ASSERT_EQ(m.depth(), depth);
    ASSERT_EQ(m.channels(), 1);
    for (int i = 0; i < m.rows; ++i)
        for (int j = 0; j < m.cols; ++j)
            EXPECT_EQ(static_cast<double>(m.at<T>(i, j)), static_cast<double>(expected(i, j))) << i << "," << j;
}

TEST(MatFiles, EveryNumericClass)
{
    REQUIRE_DATA("mat/classes.mat");
    const auto v = load("mat/classes.mat");
    auto mat = [&](const char* n) { return MatFileReader::find<cv::Mat>(v, n); };

    const cv::Mat d11 = mat("d11");
    ASSERT_EQ(d11.size(), cv::Size(1, 1));
    EXPECT_EQ(d11.at<double>(0, 0), 42.5);
    ASSERT_EQ(mat("d32").size(), cv::Size(2, 3));
    expectGrid<double>(mat("d32"), CV_64F, [](int i, int j) { return 10 * (i + 1) + (j + 1) + 0.25; });
    expectGrid<float>(mat("s23"), CV_32F, [](int i, int j) { return i - 2 * j + 0.5; });
    expectGrid<schar>(mat("i8"), CV_8S, [](int i, int j) { return -100 + 50 * i + 7 * j; });
    expectGrid<uchar>(mat("u8"), CV_8U, [](int i, int j) { return 200 + 20 * i + j; });
    expectGrid<short>(mat("i16"), CV_16S, [](int i, int j) { return -30000 + 1000 * i + 3 * j; });
    expectGrid<ushort>(mat("u16"), CV_16U, [](int i, int j) { return 60000 + 1000 * i + 3 * j; });
    expectGrid<int>(mat("i32"), CV_32S, [](int i, int j) { return -2000000000 + 7 * i + j; });
    // Classes without an OpenCV depth become doubles, exact for these values.
    expectGrid<double>(mat("u32"), CV_64F, [](int i, int j) { return 4000000000.0 + 7 * i + j; });
    expectGrid<double>(mat("i64"), CV_64F, [](int i, int j) { return -1099511627776.0 + 7 * i + j; });
    expectGrid<double>(mat("u64"), CV_64F, [](int i, int j) { return 1125899906842624.0 + 7 * i + j; });
    expectGrid<uchar>(mat("flag"), CV_8U, [](int, int j) { return j != 1; });

    const cv::Mat c = mat("cplx");
    ASSERT_EQ(c.type(), CV_64FC2);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
            EXPECT_EQ(c.at<cv::Vec2d>(i, j), cv::Vec2d(i + 2 * j, 10 + i - j));
    EXPECT_TRUE(mat("empty").empty());
}

TEST(MatFiles, MultiDimensionalArrays)
{
    REQUIRE_DATA("mat/classes.mat");
    const auto v = load("mat/classes.mat");
    // 2 x 3 x 4: the last dimension becomes four channels.
    const cv::Mat d = MatFileReader::find<cv::Mat>(v, "d234");
    ASSERT_EQ(d.dims, 2);
    ASSERT_EQ(d.size(), cv::Size(3, 2));
    ASSERT_EQ(d.type(), CV_64FC4);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(d.ptr<double>(i, j)[k], i + 10 * j + 100 * k);

    // 3 x 4 x 2 x 2: two channels over sizes (4, 3, 2) in MATLAB's linear order.
    const cv::Mat e = MatFileReader::find<cv::Mat>(v, "d4");
    ASSERT_EQ(e.dims, 3);
    EXPECT_EQ(e.size[0], 4);
    EXPECT_EQ(e.size[1], 3);
    EXPECT_EQ(e.size[2], 2);
    ASSERT_EQ(e.channels(), 2);
    const double* p = e.ptr<double>();
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 3; ++i)
                for (int l = 0; l < 2; ++l)
                    EXPECT_EQ(p[(i + 3 * j + 12 * k) * 2 + l], i + 10 * j + 100 * k + 1000 * l);
}

TEST(MatFiles, TextCellsStructsAndSparse)
{
    REQUIRE_DATA("mat/classes.mat");
    const auto v = load("mat/classes.mat");
    EXPECT_EQ(MatFileReader::find<std::string>(v, "name"), "calibration table");
    EXPECT_EQ(MatFileReader::find<std::string>(v, "sp"), "");

    const auto cell = MatFileReader::find<MatlabIOContainer::Cell>(v, "cellv");
    ASSERT_EQ(cell.size(), 3u);
    EXPECT_EQ(boost::any_cast<cv::Mat>(cell[0].data).at<double>(0, 0), 2.5);
    EXPECT_EQ(boost::any_cast<std::string>(cell[1].data), "abc");
    const cv::Mat i16 = boost::any_cast<cv::Mat>(cell[2].data);
    ASSERT_EQ(i16.type(), CV_16SC1);
    EXPECT_EQ(i16.at<short>(0, 1), -8);

    const auto st = MatFileReader::find<MatlabIOContainer::Struct>(v, "st");
    ASSERT_EQ(st.size(), 2u);
    for (const auto& element : st) {
        ASSERT_EQ(element.size(), 2u);
        EXPECT_EQ(element[0].name, "a");
        EXPECT_EQ(element[1].name, "bb");
    }
    EXPECT_EQ(boost::any_cast<cv::Mat>(st[0][0].data).at<double>(0, 0), 1.0);
    EXPECT_EQ(boost::any_cast<std::string>(st[0][1].data), "x");
    EXPECT_EQ(boost::any_cast<cv::Mat>(st[1][0].data).at<double>(0, 2), 3.0);
    EXPECT_EQ(boost::any_cast<std::string>(st[1][1].data), "yz");
}

TEST(MatFiles, CompressedFilesEqualPlainOnes)
{
    REQUIRE_DATA("mat/classes_z.mat");
    expectSameFiles("mat/classes.mat", "mat/classes_z.mat");
    for (const char* n : {"32", "137", "144", "492", "952"})
        expectSameFiles(std::string("calibration/cdm_") + n + ".mat", std::string("calibration/cdm_") + n + "_z.mat");
    expectSameFiles("calibration/hex_111.mat", "calibration/hex_111_z.mat");
}

TEST(MatFiles, BothByteOrders)
{
    REQUIRE_DATA("mat/big_endian.mat");
    const auto be = load("mat/big_endian.mat");
    const auto le = load("mat/little_utf16.mat");
    ASSERT_EQ(be.size(), le.size());
    for (size_t k = 0; k < be.size(); ++k) {
        MatlabIOContainer renamed = le[k];
        renamed.name = "be_" + renamed.name.substr(3);
        EXPECT_TRUE(same(be[k], renamed)) << k;
    }
    expectGrid<double>(MatFileReader::find<cv::Mat>(be, "be_d32"), CV_64F,
                       [](int i, int j) { return 10 * (i + 1) + (j + 1) + 0.25; });
    expectGrid<double>(MatFileReader::find<cv::Mat>(be, "be_z"), CV_64F,
                       [](int i, int j) { return 10 * (i + 1) + (j + 1) + 0.25; });
    expectGrid<short>(MatFileReader::find<cv::Mat>(be, "be_i16"), CV_16S,
                      [](int i, int j) { return -30000 + 1000 * i + 3 * j; });
    expectGrid<float>(MatFileReader::find<cv::Mat>(be, "be_s23"), CV_32F, [](int i, int j) { return i - 2 * j + 0.5; });
    EXPECT_EQ(MatFileReader::find<std::string>(be, "be_name"), "abc");
    const auto cell = MatFileReader::find<MatlabIOContainer::Cell>(be, "be_cell");
    ASSERT_EQ(cell.size(), 2u);
    EXPECT_EQ(boost::any_cast<cv::Mat>(cell[1].data).at<double>(0, 0), 123456789.0);
}

TEST(MatFiles, CalibrationTablesHaveTheirShapes)
{
    REQUIRE_DATA("calibration/cdm_137_w2.mat");
    const auto v = load("calibration/cdm_137.mat");
    EXPECT_EQ(MatFileReader::find<std::string>(v, "DM_name"), "DMType04-SIM-137");
    const cv::Mat r = MatFileReader::find<cv::Mat>(v, "DM_reconstructor");
    ASSERT_EQ(r.size(), cv::Size(137, 137));
    EXPECT_EQ(cv::norm(r, r.t(), cv::NORM_INF), 0.0);  // the plate operator is symmetric
    EXPECT_EQ(MatFileReader::find<cv::Mat>(v, "coeffs").size(), cv::Size(10, 1));
    EXPECT_EQ(MatFileReader::find<cv::Mat>(v, "orders").size(), cv::Size(2, 10));
    EXPECT_EQ(MatFileReader::find<cv::Mat>(v, "orders").at<double>(8, 1), 2.0);
    EXPECT_EQ(MatFileReader::find<cv::Mat>(v, "Z_unpow_discrete").size(), cv::Size(13, 13));
    EXPECT_EQ(MatFileReader::find<cv::Mat>(load("calibration/cdm_137_w2.mat"), "DM_reconstructor").size(),
              cv::Size(169, 169));

    const auto h = load("calibration/hex_111.mat");
    const cv::Mat lut = MatFileReader::find<cv::Mat>(h, "get_commands");
    ASSERT_EQ(lut.dims, 3);
    ASSERT_EQ(lut.type(), CV_16UC3);
    const int L = lut.size[0];
    EXPECT_EQ(lut.size[1], L);
    EXPECT_EQ(lut.size[2], L);
    // Untilted (centre of both tilt axes), all three actuators get the same value, rising with piston
    // along the first axis.
    const int mid = L / 2;
    for (int ip = 1; ip < L; ++ip) {
        const auto& a = lut.at<cv::Vec3w>(ip, mid, mid);
        EXPECT_EQ(a[0], a[1]);
        EXPECT_EQ(a[1], a[2]);
        EXPECT_GT(a[0], lut.at<cv::Vec3w>(ip - 1, mid, mid)[0]);
    }
    // Full tilt on both axes cannot be reached at any piston: the corners are unpopulated.
    for (int ip = 0; ip < L; ++ip)
        EXPECT_EQ(lut.at<cv::Vec3w>(ip, 0, 0), cv::Vec3w(0, 0, 0));
    const cv::Mat ttp = MatFileReader::find<cv::Mat>(h, "initialSegmentTTPMap");
    EXPECT_EQ(ttp.size(), cv::Size(3, 37));
    EXPECT_EQ(MatFileReader::find<cv::Mat>(h, "piston_range_max_lookup").size(), cv::Size(L, L));
}

}  // namespace
