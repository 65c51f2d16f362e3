// A fixture that runs a test on one way of scanning the reader's buffer, one
// test per path, so that a path this CPU lacks (AVX-512 without VBMI2, as on
// Zen 3) is reported skipped rather than passed over.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "text_scan.h"

namespace ipveil::trace {
// Found by gtest through ADL: names the parameter in test output.
inline void PrintTo(ScanPath path, std::ostream* os) { *os << scanPathName(path); }
}  // namespace ipveil::trace

namespace ipveil::trace_test {

inline constexpr trace::ScanPath AllScanPaths[] = {trace::ScanPath::Record, trace::ScanPath::PortableIndex,
                                                   trace::ScanPath::Avx512Index};

// gtest parameter names may not contain the '-' of "portable-index".
inline std::string scanPathLabel(const ::testing::TestParamInfo<trace::ScanPath>& info) {
    switch (info.param) {
        case trace::ScanPath::Record: return "Record";
        case trace::ScanPath::PortableIndex: return "PortableIndex";
        case trace::ScanPath::Avx512Index: return "Avx512Index";
    }
    return "Unknown";
}

// Selects the path under test for the whole process, and puts back the one
// that was in use: later tests expect the default.
class OnScanPath : public ::testing::TestWithParam<trace::ScanPath> {
protected:
    void SetUp() override {
        previous = trace::activeScanPath();
        if (!trace::selectScanPath(GetParam())) {
            GTEST_SKIP() << trace::scanPathName(GetParam()) << " is not available on this CPU";
        }
    }
    void TearDown() override { trace::selectScanPath(previous); }

private:
    trace::ScanPath previous = trace::ScanPath::Record;
};

}  // namespace ipveil::trace_test

#define IPVEIL_ON_EVERY_SCAN_PATH(Fixture)                                                                 \
    INSTANTIATE_TEST_SUITE_P(ScanPaths, Fixture, ::testing::ValuesIn(::ipveil::trace_test::AllScanPaths), \
                             ::ipveil::trace_test::scanPathLabel)
