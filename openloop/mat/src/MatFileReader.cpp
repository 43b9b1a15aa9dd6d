// Level-5 MAT file parsing: element tags, compressed variables, arrays to matrices, strings, cells and structs.
#include <krv/MatFileReader.h>

#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace MirrorKit {
namespace {

enum : std::uint32_t {
    miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6, miSINGLE = 7,
    miDOUBLE = 9, miINT64 = 12, miUINT64 = 13, miMATRIX = 14, miCOMPRESSED = 15, miUTF8 = 16,
    miUTF16 = 17, miUTF32 = 18,
};

enum : std::uint8_t {
    mxCELL = 1, mxSTRUCT = 2, mxCHAR = 4, mxSPARSE = 5, mxDOUBLE = 6, mxSINGLE = 7, mxINT8 = 8,
    mxUINT8 = 9, mxINT16 = 10, mxUINT16 = 11, mxINT32 = 12, mxUINT32 = 13, mxINT64 = 14, mxUINT64 = 15,
};

// zlib cannot expand data by more than about 1032:1; an inner size beyond that is a damaged file.
constexpr std::uint64_t kMaxInflateRatio = 1032;
// The largest matrix of a calibration table, the reconstructor of a 4096-actuator mirror on its 64 x 64
// grid, takes 128 MiB; larger claims are treated as damage rather than risking an allocation the machine
// cannot back.
constexpr std::uint64_t kMaxMatrixBytes = std::uint64_t(512) << 20;
// Everything one file may make the reader allocate: a few such matrices.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t(1) << 30;
// Cells and structs: every element is at least an 8-byte tag in an uncompressed file, so a file of n bytes
// holds at most n / 8 of them; compression lets a few kilobytes claim millions of empty ones, each of which
// would cost a container. Calibration tables use none; small files may still hold this many.
constexpr std::uint64_t kMinElementBudget = 65536;
// Flags, dimensions, names and character data: a few kilobytes in any real file.
constexpr std::uint64_t kMaxSmallData = std::uint64_t(16) << 20;
// Values are converted and laid out in chunks of about this size, small enough to stay in cache.
constexpr std::size_t kChunkBytes = 1024 * 1024;
// OpenCV matrices have at most 32 dimensions.
constexpr std::size_t kMaxDims = 32;

// Large matrices are written once in transposed order; huge pages spare most of the page faults
// and TLB misses of that pass. Only advice: without transparent huge pages nothing changes.
void adviseHugePages(void* data, std::size_t bytes)
{
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kPage = 4096;
    if (bytes < (std::size_t(8) << 20))
        return;
    const auto start = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

[[noreturn]] void fail(const std::string& what) { throw MatFileError(what); }

std::uint64_t mulChecked(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r))
        fail("array dimensions overflow");
    return r;
}

std::uint64_t pad8(std::uint64_t n) { return (8 - (n & 7)) & 7; }

// Text up to the first zero byte of a field that need not be terminated.
std::string fieldText(const unsigned char* p, std::size_t n)
{
    const void* zero = n ? std::memchr(p, 0, n) : nullptr;
    const std::size_t len = zero ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - p) : n;
    return len ? std::string(reinterpret_cast<const char*>(p), len) : std::string();
}

// ---------------------------------------------------------------- byte sources

// Sequential bytes of one top-level element: the file itself or the inflated stream of a
// compressed variable.
class Source {
public:
    virtual ~Source() = default;
    virtual void read(void* dst, std::size_t n) = 0;
    virtual void skip(std::uint64_t n) = 0;
};

class FileSource : public Source {
public:
    explicit FileSource(EFStream& s) : s_(s) {}
    // Raw bytes: values are swapped by their own width when they are decoded, not here.
    void read(void* dst, std::size_t n) override { s_.read(dst, n, 1); }
    void skip(std::uint64_t n) override { s_.skip(n); }

private:
    EFStream& s_;
};

class InflateSource : public Source {
public:
    explicit InflateSource(std::vector<unsigned char> packed) : packed_(std::move(packed))
    {
        std::memset(&z_, 0, sizeof z_);
        if (inflateInit(&z_) != Z_OK)
            fail("Unable to inflate variable");
        open_ = true;
        z_.next_in = packed_.data();
        z_.avail_in = static_cast<uInt>(packed_.size());
    }
    ~InflateSource() override
    {
        if (open_)
            inflateEnd(&z_);
    }
    InflateSource(const InflateSource&) = delete;
    InflateSource& operator=(const InflateSource&) = delete;

    void read(void* dst, std::size_t n) override
    {
        auto* out = static_cast<unsigned char*>(dst);
        while (n > 0) {
            const std::size_t step = std::min<std::size_t>(n, 1u << 30);
            z_.next_out = out;
            z_.avail_out = static_cast<uInt>(step);
            while (z_.avail_out > 0) {
                if (ended_)
                    fail("Unable to inflate variable: compressed data ends early");
                const int rc = inflate(&z_, Z_NO_FLUSH);
                if (rc == Z_STREAM_END)
                    ended_ = true;
                else if (rc != Z_OK)
                    fail(std::string("Unable to inflate variable: ") + (z_.msg ? z_.msg : "corrupt data"));
                else if (z_.avail_in == 0 && z_.avail_out > 0)
                    fail("Unable to inflate variable: compressed data ends early");
            }
            out += step;
            n -= step;
        }
    }

    void skip(std::uint64_t n) override
    {
        unsigned char scratch[4096];
        while (n > 0) {
            const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof scratch));
            read(scratch, step);
            n -= step;
        }
    }

    // Inflates the rest of the stream. Damage inside a deflate block can still inflate to wrong values; only
    // the checksum at the stream's end catches it, so a variable counts as read once its stream has ended.
    void finish(std::uint64_t limit)
    {
        unsigned char scratch[4096];
        std::uint64_t extra = 0;
        while (!ended_) {
            z_.next_out = scratch;
            z_.avail_out = sizeof scratch;
            const int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END)
                ended_ = true;
            else if (rc != Z_OK)
                fail(std::string("Unable to inflate variable: ") + (z_.msg ? z_.msg : "compressed data ends early"));
            else if (z_.avail_in == 0 && z_.avail_out > 0)
                fail("Unable to inflate variable: compressed data ends early");
            extra += sizeof scratch - z_.avail_out;
            if (extra > limit)
                fail("Unable to inflate variable: data continues past the variable");
        }
    }

    std::uint64_t packedSize() const { return packed_.size(); }

private:
    std::vector<unsigned char> packed_;
    z_stream z_;
    bool open_ = false;
    bool ended_ = false;
};

// ---------------------------------------------------------------- value decoding

template <class V>
V load(const unsigned char* p, bool swap)
{
    V v;
    if (swap) {
        unsigned char b[sizeof(V)];
        for (std::size_t i = 0; i < sizeof(V); ++i)
            b[i] = p[sizeof(V) - 1 - i];
        std::memcpy(&v, b, sizeof v);
    } else {
        std::memcpy(&v, p, sizeof v);
    }
    return v;
}

template <class V>
void swapInPlace(V* values, std::size_t n)
{
    if constexpr (sizeof(V) > 1) {
        auto* b = reinterpret_cast<unsigned char*>(values);
        for (std::size_t i = 0; i < n; ++i, b += sizeof(V))
            std::reverse(b, b + sizeof(V));
    }
}

// Numeric conversion without undefined behaviour: floating targets take the value as it is,
// integer targets take it rounded and clamped (stored types narrower than the class, which is how
// writers shrink integral data, convert exactly).
template <class T, class S>
inline T convert(S v)
{
    if constexpr (std::is_floating_point_v<T> || std::is_same_v<T, S>) {
        return static_cast<T>(v);
    } else if constexpr (std::is_floating_point_v<S>) {
        if (!(v == v))
            return T(0);
        const double r = std::nearbyint(static_cast<double>(v));
        if (r <= static_cast<double>(std::numeric_limits<T>::min()))
            return std::numeric_limits<T>::min();
        if (r >= static_cast<double>(std::numeric_limits<T>::max()))
            return std::numeric_limits<T>::max();
        return static_cast<T>(r);
    } else if constexpr (std::is_signed_v<S>) {
        const auto w = static_cast<long long>(v);
        if (w < static_cast<long long>(std::numeric_limits<T>::min()))
            return std::numeric_limits<T>::min();
        if (std::is_signed_v<T> && w > static_cast<long long>(std::numeric_limits<T>::max()))
            return std::numeric_limits<T>::max();
        if (!std::is_signed_v<T> &&
            static_cast<unsigned long long>(w) > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
            return std::numeric_limits<T>::max();
        return static_cast<T>(w);
    } else {
        const auto w = static_cast<unsigned long long>(v);
        if (w > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
            return std::numeric_limits<T>::max();
        return static_cast<T>(w);
    }
}

struct Tag {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    bool small = false;
    unsigned char inline_[4] = {0, 0, 0, 0};
};

// Where the values of one plane go: either the 2-D layout (MATLAB's column-major r x c to a
// row-major r x c matrix) or the linear layout of arrays with three or more dimensions.
struct Layout {
    unsigned char* base = nullptr;  // first element of the matrix
    std::size_t rows = 0, cols = 0; // MATLAB dimensions d0, d1 of the 2-D case
    std::size_t channels = 1;       // channels of the matrix
    bool linear = false;
};

template <class S, class T>
void place(const S* src, std::uint64_t first, std::uint64_t count, const Layout& lay, std::size_t channel)
{
    T* dst = reinterpret_cast<T*>(lay.base);
    const std::size_t ch = lay.channels;
    if (lay.linear || lay.rows == 1 || lay.cols == 1) {
        // Column-major and row-major agree for vectors and for the linear layout.
        T* out = dst + first * ch + channel;
        if (ch == 1)
            for (std::uint64_t k = 0; k < count; ++k)
                out[k] = convert<T>(src[k]);
        else
            for (std::uint64_t k = 0; k < count; ++k)
                out[k * ch] = convert<T>(src[k]);
        return;
    }
    const std::size_t d0 = lay.rows, d1 = lay.cols;
    const std::size_t rowStride = d1 * ch;
    std::uint64_t i = first % d0, j = first / d0;
    // Leading part of a column.
    while (count > 0 && i != 0) {
        dst[i * rowStride + j * ch + channel] = convert<T>(*src++);
        --count;
        if (++i == d0) {
            i = 0;
            ++j;
        }
    }
    // Whole columns, transposed in tiles of rows so that writes stay within a few pages.
    const std::uint64_t whole = count / d0;
    if (whole > 0) {
        constexpr std::size_t kTile = 64;
        for (std::size_t i0 = 0; i0 < d0; i0 += kTile) {
            const std::size_t i1 = std::min(d0, i0 + kTile);
            for (std::size_t r = i0; r < i1; ++r) {
                T* out = dst + r * rowStride + j * ch + channel;
                const S* in = src + r;
                if (ch == 1)
                    for (std::uint64_t c = 0; c < whole; ++c)
                        out[c] = convert<T>(in[c * d0]);
                else
                    for (std::uint64_t c = 0; c < whole; ++c)
                        out[c * ch] = convert<T>(in[c * d0]);
            }
        }
        src += whole * d0;
        count -= whole * d0;
        j += whole;
    }
    // Trailing part of a column.
    for (; count > 0; --count, ++i)
        dst[i * rowStride + j * ch + channel] = convert<T>(*src++);
}

// ---------------------------------------------------------------- the parser

// What one file may make the reader allocate, relative to its size and to what a calibration table can
// need. Every claim is charged before its allocation, so a hostile file is refused before it costs anything.
class Budget {
public:
    explicit Budget(std::uint64_t fileSize)
        : elements_(std::max(kMinElementBudget, fileSize / 8)), bytes_(kMaxFileBytes)
    {
    }

    // Containers for n cell or struct elements.
    void elements(std::uint64_t n)
    {
        if (n > elements_)
            fail("cells and structs hold more elements than a file of this size can (" + std::to_string(n) +
                 " more, at most " + std::to_string(elements_) + " left)");
        elements_ -= n;
        bytes(mulChecked(n, sizeof(MatlabIOContainer)));
    }

    void bytes(std::uint64_t n)
    {
        if (n > bytes_)
            fail("variables take more memory than a calibration table can need");
        bytes_ -= n;
    }

private:
    std::uint64_t elements_;
    std::uint64_t bytes_;
};

class Parser {
public:
    Parser(Source& src, bool swap, Budget& budget) : src_(src), swap_(swap), budget_(budget) {}

    // Reads a tag inside an element that has `left` bytes to go; the tag's data must fit.
    Tag readTag(std::uint64_t& left)
    {
        if (left < 8)
            fail("element tag runs past its parent");
        unsigned char b[8];
        src_.read(b, 8);
        left -= 8;
        Tag t;
        const std::uint32_t w0 = load<std::uint32_t>(b, swap_);
        if (w0 > 0xFFFF) {
            // Small element: type and size share the first word, the data is the second.
            t.small = true;
            t.type = w0 & 0xFFFF;
            t.size = w0 >> 16;
            if (t.size > 4)
                fail("small element larger than 4 bytes");
            // The stored bytes sit at the start of the 4-byte field in the file's byte order.
            std::memcpy(t.inline_, b + 4, 4);
        } else {
            t.type = w0;
            t.size = load<std::uint32_t>(b + 4, swap_);
            if (t.size > left)
                fail("element data runs past its parent");
        }
        return t;
    }

    // Reads a tag's data (at most a few kilobytes: flags, dimensions, names) and its padding.
    std::vector<unsigned char> readSmallData(const Tag& t, std::uint64_t& left)
    {
        if (t.small)
            return std::vector<unsigned char>(t.inline_, t.inline_ + t.size);
        if (t.size > kMaxSmallData)
            fail("array flags, dimensions, names or text larger than any calibration table holds");
        budget_.bytes(t.size);
        std::vector<unsigned char> data(t.size);
        src_.read(data.data(), t.size);
        left -= t.size;
        skipPadding(t, left);
        return data;
    }

    void skipData(const Tag& t, std::uint64_t& left)
    {
        if (t.small)
            return;
        src_.skip(t.size);
        left -= t.size;
        skipPadding(t, left);
    }

    void skipPadding(const Tag& t, std::uint64_t& left)
    {
        if (t.small || t.type == miCOMPRESSED)
            return;
        const std::uint64_t p = std::min<std::uint64_t>(pad8(t.size), left);
        src_.skip(p);
        left -= p;
    }

    // Parses the body of a matrix element of `size` bytes; consumes exactly `size` bytes.
    MatlabIOContainer matrix(std::uint64_t size, int depth)
    {
        if (depth > MatFileReader::kMaxNesting)
            fail("arrays nested deeper than " + std::to_string(MatFileReader::kMaxNesting) + " levels");
        std::uint64_t left = size;
        MatlabIOContainer out;
        if (left == 0)
            return out;  // writers store empty cell and struct members as bare tags

        const Tag flagsTag = readTag(left);
        const auto flags = readSmallData(flagsTag, left);
        if (flags.size() < 4)
            fail("array flags too short");
        const std::uint32_t flagWord = load<std::uint32_t>(flags.data(), swap_);
        const std::uint8_t cls = flagWord & 0xFF;
        const bool complex = (flagWord & 0x0800) != 0;

        const Tag dimTag = readTag(left);
        const auto dimBytes = readSmallData(dimTag, left);
        std::vector<std::uint64_t> dims;
        for (std::size_t k = 0; k + 4 <= dimBytes.size(); k += 4) {
            const std::int32_t d = load<std::int32_t>(dimBytes.data() + k, swap_);
            if (d < 0)
                fail("negative array dimension");
            dims.push_back(static_cast<std::uint64_t>(d));
        }
        if (dims.size() < 2)
            fail("array with fewer than two dimensions");

        const Tag nameTag = readTag(left);
        const auto nameBytes = readSmallData(nameTag, left);
        out.name = fieldText(nameBytes.data(), nameBytes.size());

        std::uint64_t numel = 1;
        for (auto d : dims)
            numel = mulChecked(numel, d);

        switch (cls) {
        case mxCELL: {
            MatlabIOContainer::Cell cell;
            // Each element needs at least a tag, so the parent's size bounds the count; the budget bounds it
            // by the file's size before anything is allocated for them.
            if (numel > left / 8)
                fail("cell claims more elements than its bytes can hold");
            budget_.elements(numel);
            cell.reserve(static_cast<std::size_t>(numel));
            for (std::uint64_t k = 0; k < numel; ++k)
                cell.push_back(member(left, depth));
            out.data = std::move(cell);
            break;
        }
        case mxSTRUCT:
            out.data = structure(numel, size, left, depth);
            break;
        case mxCHAR:
            out.data = text(left);
            break;
        case mxSPARSE:
            out.data = std::string();
            break;
        case mxDOUBLE: case mxSINGLE: case mxINT8: case mxUINT8: case mxINT16: case mxUINT16:
        case mxINT32: case mxUINT32: case mxINT64: case mxUINT64:
            numeric(out, cls, complex, dims, numel, left);
            break;
        default:
            break;  // classes the kit has no use for: name only
        }
        // Whatever this reader does not interpret (sparse indices, object data) is passed over.
        src_.skip(left);
        return out;
    }

private:
    MatlabIOContainer member(std::uint64_t& left, int depth)
    {
        const Tag t = readTag(left);
        if (t.small || t.type != miMATRIX) {
            skipData(t, left);
            return {};
        }
        MatlabIOContainer c = matrix(t.size, depth + 1);
        left -= t.size;
        skipPadding(t, left);
        return c;
    }

    MatlabIOContainer::Struct structure(std::uint64_t numel, std::uint64_t size, std::uint64_t& left, int depth)
    {
        const Tag lenTag = readTag(left);
        const auto lenBytes = readSmallData(lenTag, left);
        if (lenBytes.size() < 4)
            fail("struct field name length missing");
        const std::uint32_t slot = load<std::uint32_t>(lenBytes.data(), swap_);
        const Tag namesTag = readTag(left);
        const auto names = readSmallData(namesTag, left);
        if (slot == 0 && !names.empty())
            fail("struct field names without a length");
        std::vector<std::string> fields;
        for (std::size_t k = 0; slot != 0 && k + slot <= names.size(); k += slot) {
            fields.push_back(fieldText(names.data() + k, slot));
        }
        // A struct without fields stores nothing per element, so its element count is not bounded by the
        // reading: a few bytes claiming billions of elements would fill memory with empty lists.
        if (fields.empty() && numel > size)
            fail("struct claims more elements than its bytes can hold");
        MatlabIOContainer::Struct st;
        if (!fields.empty()) {
            if (numel > left / (8 * fields.size()))
                fail("struct claims more elements than its bytes can hold");
            budget_.elements(mulChecked(numel, fields.size()));
            budget_.bytes(mulChecked(numel, sizeof(std::vector<MatlabIOContainer>)));
            st.reserve(static_cast<std::size_t>(numel));
        }
        for (std::uint64_t e = 0; e < numel; ++e) {
            std::vector<MatlabIOContainer> element;
            element.reserve(fields.size());
            for (const auto& f : fields) {
                MatlabIOContainer c = member(left, depth);
                c.name = f;
                element.push_back(std::move(c));
            }
            st.push_back(std::move(element));
        }
        return st;
    }

    // Character data: bytes (miUTF8 and 8-bit types), UTF-16 code units (miUINT16, miUTF16, the
    // form most writers use) or code points; the text ends at its first zero.
    std::string text(std::uint64_t& left)
    {
        const Tag t = readTag(left);
        const auto raw = readSmallData(t, left);
        std::string s;
        auto put = [&s](std::uint32_t cp) {
            if (cp < 0x80) {
                s.push_back(static_cast<char>(cp));
            } else if (cp < 0x800) {
                s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else if (cp < 0x10000) {
                s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else {
                s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            }
        };
        switch (t.type) {
        case miUINT16: case miINT16: case miUTF16:
            for (std::size_t k = 0; k + 2 <= raw.size(); k += 2) {
                std::uint32_t u = load<std::uint16_t>(raw.data() + k, swap_);
                if (u == 0)
                    break;
                if (u >= 0xD800 && u < 0xDC00 && k + 4 <= raw.size()) {
                    const std::uint32_t lo = load<std::uint16_t>(raw.data() + k + 2, swap_);
                    if (lo >= 0xDC00 && lo < 0xE000) {
                        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                        k += 2;
                    }
                }
                put(u);
            }
            break;
        case miUINT32: case miINT32: case miUTF32:
            for (std::size_t k = 0; k + 4 <= raw.size(); k += 4) {
                const std::uint32_t u = load<std::uint32_t>(raw.data() + k, swap_);
                if (u == 0)
                    break;
                put(std::min<std::uint32_t>(u, 0x10FFFF));
            }
            break;
        default:
            s = fieldText(raw.data(), raw.size());
            break;
        }
        return s;
    }

    static int depthOf(std::uint8_t cls)
    {
        switch (cls) {
        case mxDOUBLE: return CV_64F;
        case mxSINGLE: return CV_32F;
        case mxINT8: return CV_8S;
        case mxUINT8: return CV_8U;
        case mxINT16: return CV_16S;
        case mxUINT16: return CV_16U;
        case mxINT32: return CV_32S;
        default: return CV_64F;  // uint32, int64, uint64: exact in a double (64-bit up to 2^53)
        }
    }

    static std::size_t storedWidth(std::uint32_t type)
    {
        switch (type) {
        case miINT8: case miUINT8: case miUTF8: return 1;
        case miINT16: case miUINT16: return 2;
        case miINT32: case miUINT32: case miSINGLE: return 4;
        case miDOUBLE: case miINT64: case miUINT64: return 8;
        default: return 0;
        }
    }

    void numeric(MatlabIOContainer& out, std::uint8_t cls, bool complex, std::vector<std::uint64_t> dims,
                 std::uint64_t numel, std::uint64_t& left)
    {
        std::uint64_t planes = 1;
        if (dims.size() > 2) {
            planes = dims.back();
            dims.pop_back();
        }
        const std::uint64_t parts = complex ? 2 : 1;
        const std::uint64_t channels = planes * parts;
        const int depth = depthOf(cls);
        const std::uint64_t perPlane = planes == 0 ? 0 : numel / planes;

        // Read the real part's tag before allocating anything: its size must match the dimensions.
        Tag realTag = readTag(left);
        const std::size_t width = storedWidth(realTag.type);
        if (width == 0) {
            skipData(realTag, left);
            return;  // a stored type the reader does not know: no value
        }
        if (realTag.size % width != 0 || realTag.size / width != numel)
            fail("array data does not match its dimensions");

        if (numel == 0) {
            skipData(realTag, left);
            if (complex)
                skipData(readTag(left), left);
            const bool shaped = dims.size() == 2 && dims[0] <= INT_MAX && dims[1] <= INT_MAX &&
                                channels >= 1 && channels <= CV_CN_MAX;
            out.data = shaped ? cv::Mat(static_cast<int>(dims[0]), static_cast<int>(dims[1]),
                                        CV_MAKETYPE(depth, static_cast<int>(channels)))
                              : cv::Mat(0, 0, depth);
            return;
        }
        if (channels > CV_CN_MAX)
            fail("array has more planes than a matrix can hold as channels");
        if (dims.size() > kMaxDims)
            fail("array has too many dimensions");
        for (auto d : dims)
            if (d > static_cast<std::uint64_t>(INT_MAX))
                fail("array dimension too large");
        const std::uint64_t bytes = mulChecked(mulChecked(numel, parts), CV_ELEM_SIZE1(depth));
        if (bytes > kMaxMatrixBytes)
            fail("array too large");
        budget_.bytes(bytes);

        cv::Mat m;
        Layout lay;
        lay.channels = static_cast<std::size_t>(channels);
        const int type = CV_MAKETYPE(depth, static_cast<int>(channels));
        if (dims.size() == 2) {
            m.create(static_cast<int>(dims[0]), static_cast<int>(dims[1]), type);
            lay.rows = dims[0];
            lay.cols = dims[1];
        } else {
            // Sizes with the first two exchanged and the file's order kept: the row-major index of
            // the matrix is MATLAB's linear index.
            std::vector<int> sizes(dims.begin(), dims.end());
            std::swap(sizes[0], sizes[1]);
            m.create(static_cast<int>(sizes.size()), sizes.data(), type);
            lay.linear = true;
        }
        lay.base = m.data;
        adviseHugePages(m.data, m.total() * m.elemSize());

        for (std::uint64_t part = 0; part < parts; ++part) {
            Tag t = part == 0 ? realTag : readTag(left);
            if (part > 0 && (storedWidth(t.type) == 0 || t.size % storedWidth(t.type) != 0 ||
                             t.size / storedWidth(t.type) != numel))
                fail("imaginary data does not match its dimensions");
            readPart(t, lay, perPlane, planes, part * planes, depth, left);
        }
        out.data = std::move(m);
    }

    // Streams one part (all its planes) into the matrix in cache-sized chunks.
    void readPart(const Tag& t, const Layout& lay, std::uint64_t perPlane, std::uint64_t planes,
                  std::uint64_t firstChannel, int depth, std::uint64_t& left)
    {
        switch (t.type) {
        case miINT8: case miUTF8: return readTyped<std::int8_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miUINT8: return readTyped<std::uint8_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miINT16: return readTyped<std::int16_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miUINT16: return readTyped<std::uint16_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miINT32: return readTyped<std::int32_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miUINT32: return readTyped<std::uint32_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miSINGLE: return readTyped<float>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miDOUBLE: return readTyped<double>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miINT64: return readTyped<std::int64_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        case miUINT64: return readTyped<std::uint64_t>(t, lay, perPlane, planes, firstChannel, depth, left);
        default: fail("unknown stored data type");
        }
    }

    template <class S>
    void readTyped(const Tag& t, const Layout& lay, std::uint64_t perPlane, std::uint64_t planes,
                   std::uint64_t firstChannel, int depth, std::uint64_t& left)
    {
        switch (depth) {
        case CV_64F: return stream<S, double>(t, lay, perPlane, planes, firstChannel, left);
        case CV_32F: return stream<S, float>(t, lay, perPlane, planes, firstChannel, left);
        case CV_8S: return stream<S, std::int8_t>(t, lay, perPlane, planes, firstChannel, left);
        case CV_8U: return stream<S, std::uint8_t>(t, lay, perPlane, planes, firstChannel, left);
        case CV_16S: return stream<S, std::int16_t>(t, lay, perPlane, planes, firstChannel, left);
        case CV_16U: return stream<S, std::uint16_t>(t, lay, perPlane, planes, firstChannel, left);
        case CV_32S: return stream<S, std::int32_t>(t, lay, perPlane, planes, firstChannel, left);
        default: fail("unsupported matrix depth");
        }
    }

    template <class S, class T>
    void stream(const Tag& t, const Layout& lay, std::uint64_t perPlane, std::uint64_t planes,
                std::uint64_t firstChannel, std::uint64_t& left)
    {
        if (t.small) {
            S v[4 / sizeof(S) > 0 ? 4 / sizeof(S) : 1];
            const std::size_t n = t.size / sizeof(S);
            std::memcpy(v, t.inline_, n * sizeof(S));
            if (swap_)
                swapInPlace(v, n);
            // A small element holds at most four bytes, so at most a handful of values.
            for (std::size_t k = 0; k < n; ++k)
                place<S, T>(v + k, k % perPlane, 1, lay, static_cast<std::size_t>(firstChannel + k / perPlane));
            return;
        }
        // Contiguous destinations of the same type take the bytes directly.
        const bool direct = std::is_same_v<S, T> && !swap_ && lay.channels == 1 &&
                            (lay.linear || lay.rows == 1 || lay.cols == 1);
        if (direct) {
            src_.read(lay.base, t.size);
        } else {
            // Chunks are whole columns where a column fits, so that the transposition works on tiles.
            std::uint64_t chunk = kChunkBytes / sizeof(S);
            if (!lay.linear && lay.rows > 1 && lay.rows <= chunk)
                chunk = (chunk / lay.rows) * lay.rows;
            std::vector<S> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, perPlane)));
            for (std::uint64_t plane = 0; plane < planes; ++plane) {
                for (std::uint64_t first = 0; first < perPlane;) {
                    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), perPlane - first));
                    src_.read(buffer.data(), n * sizeof(S));
                    if (swap_)
                        swapInPlace(buffer.data(), n);
                    place<S, T>(buffer.data(), first, n, lay, static_cast<std::size_t>(firstChannel + plane));
                    first += n;
                }
            }
        }
        left -= t.size;
        skipPadding(t, left);
    }

    Source& src_;
    bool swap_;
    Budget& budget_;
};

}  // namespace

// ---------------------------------------------------------------- the reader

bool MatFileReader::open(const std::string& path, const std::string& mode)
{
    std::ios::openmode m;
    if (mode == "r")
        m = std::ios::in;
    else if (mode == "w")
        m = std::ios::out | std::ios::trunc;
    else
        return false;
    return stream_.open(path, m);
}

void MatFileReader::close() { stream_.close(); }

void MatFileReader::readHeader()
{
    if (!stream_.isOpen())
        fail("no file is open");
    if (stream_.size() < 128)
        fail("file too short for a MAT file header");
    // A header alone holds no variable: whatever wrote it, it is no calibration table.
    if (stream_.size() == 128)
        fail("not a MAT file: a header without variables");
    unsigned char h[128];
    stream_.read(h, 116, 1);
    stream_.read(h + 116, 8, 1);
    stream_.read(h + 124, 4, 1);
    header_ = fieldText(h, 116);
    subsys_ = fieldText(h + 116, 8);
    endian_ = fieldText(h + 126, 2);
    if (endian_ == "IM")
        stream_.setByteSwap(false);
    else if (endian_ == "MI")
        stream_.setByteSwap(true);
    const std::uint16_t raw = load<std::uint16_t>(h + 124, stream_.byteSwap());
    version_ = raw == 0x0100 ? 5 : raw == 0x0200 ? 73 : raw;
    if (version_ == 73)
        fail("HDF5-based MAT files (version 7.3) are not supported");
    if (endian_ != "IM" && endian_ != "MI")
        fail("not a MAT file: no endian indicator");
    if (version_ != 5)
        fail("not a MAT file: unknown version " + std::to_string(raw));
}

MatlabVariables MatFileReader::read()
{
    readHeader();
    const bool swap = stream_.byteSwap();
    Budget budget(stream_.size());
    MatlabVariables vars;
    while (!stream_.atEnd()) {
        const std::uint64_t pos = stream_.tell();
        std::uint64_t left = stream_.size() - std::min(pos, stream_.size());
        FileSource file(stream_);
        Parser top(file, swap, budget);
        const Tag t = top.readTag(left);
        if (t.small) {
            vars.emplace_back();
            continue;
        }
        if (t.type == miMATRIX) {
            vars.push_back(top.matrix(t.size, 0));
            left -= t.size;
            top.skipPadding(t, left);
        } else if (t.type == miCOMPRESSED) {
            std::vector<unsigned char> packed(t.size);
            stream_.read(packed.data(), packed.size(), 1);
            InflateSource inflated(std::move(packed));
            Parser inner(inflated, swap, budget);
            std::uint64_t innerLeft = std::numeric_limits<std::uint64_t>::max();
            const Tag it = inner.readTag(innerLeft);
            if (!it.small && it.size > kMaxInflateRatio * inflated.packedSize() + 64)
                fail("compressed variable claims more data than it can hold");
            if (!it.small && it.type == miMATRIX)
                vars.push_back(inner.matrix(it.size, 0));
            else
                vars.emplace_back();
            inflated.finish(kMaxInflateRatio * inflated.packedSize() + 64);
        } else {
            top.skipData(t, left);
            vars.emplace_back();
        }
    }
    return vars;
}

bool MatFileReader::tryRead(MatlabVariables& vars, std::string& error) noexcept
{
    vars.clear();
    try {
        vars = read();
        return true;
    } catch (const std::exception& e) {
        vars.clear();
        error = e.what();
    } catch (...) {
        vars.clear();
        error = "unknown failure while reading a MAT file";
    }
    return false;
}

}  // namespace MirrorKit
