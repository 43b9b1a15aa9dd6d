// MAT files through the reader: every variable read, every matrix touched in full, lookups by name.
#include "FuzzSupport.h"

#include <krv/MatFileReader.h>

#include <boost/any.hpp>

namespace {

using MirrorKit::MatlabIOContainer;

// Reads every byte of every matrix so that AddressSanitizer sees a buffer shorter than the matrix claims.
unsigned walk(const MatlabIOContainer& c, int depth) {
    KRVFUZZ_CHECK(depth <= MirrorKit::MatFileReader::kMaxNesting + 2, "nesting deeper than the reader allows");
    unsigned sum = static_cast<unsigned>(c.name.size());
    if (c.holds<cv::Mat>()) {
        const cv::Mat m = boost::any_cast<cv::Mat>(c.data);
        if (!m.empty()) {
            KRVFUZZ_CHECK(m.isContinuous(), "matrix not continuous");
            const auto* p = m.ptr<unsigned char>();
            const size_t bytes = m.total() * m.elemSize();
            for (size_t i = 0; i < bytes; i += 7) sum += p[i];
            sum += p[bytes - 1];
        }
    } else if (c.holds<std::string>()) {
        for (unsigned char ch : boost::any_cast<const std::string&>(c.data)) sum += ch;
    } else if (c.holds<MatlabIOContainer::Cell>()) {
        for (const auto& e : boost::any_cast<const MatlabIOContainer::Cell&>(c.data)) sum += walk(e, depth + 1);
    } else if (c.holds<MatlabIOContainer::Struct>()) {
        for (const auto& element : boost::any_cast<const MatlabIOContainer::Struct&>(c.data))
            for (const auto& field : element) sum += walk(field, depth + 1);
    } else {
        KRVFUZZ_CHECK(c.data.empty(), std::string("value of an unexpected type ") + c.data.type().name());
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    krvfuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = krvfuzz::writeFile(krvfuzz::scratchPath("Calibration/fuzz.mat"), data, size);
    MirrorKit::MatFileReader reader;
    KRVFUZZ_CHECK(reader.open(path), "cannot open " + path);
    MirrorKit::MatlabVariables vars;
    std::string error;
    const bool ok = reader.tryRead(vars, error);
    reader.close();
    if (!ok) {
        KRVFUZZ_CHECK(vars.empty() && !error.empty(), "a failed read returned variables or no reason");
        return 0;
    }
    volatile unsigned sink = 0;
    for (const auto& v : vars) sink = sink + walk(v, 0);
    for (const char* name : {"DM_reconstructor", "coeffs", "get_commands", "DM_name"}) {
        try {
            sink = sink + static_cast<unsigned>(MirrorKit::MatFileReader::find<cv::Mat>(vars, name).total());
        } catch (const boost::bad_any_cast&) {
        } catch (const std::logic_error&) {
        }
    }
    return 0;
}
