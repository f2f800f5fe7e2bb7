// Small helpers shared by the unit tests: standard output captured around a
// call, an environment variable set for a while, a temporary directory
// removed with everything in it, deleters for libpcap handles and dumpers,
// whole files read and written as bytes, text patterns, sweep durations
// masked, and the names of parameterized cases.
#ifndef SURGEWATCH_TESTS_SUPPORT_H
#define SURGEWATCH_TESTS_SUPPORT_H

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "pcap_handle.h"

// What `f` writes to standard output; the stream is flushed on both sides,
// whatever its buffering.
template <typename F>
std::string captureStdout(F&& f) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Sets the environment variable `name` (for this process and the programs
// it starts) while it lives; puts back what was there before when it goes.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* before = getenv(name);
        if (before != nullptr) before_ = before, had_ = true;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), before_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string before_;
    bool had_ = false;
};

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/surgewatch-test.XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A table of cases, each run with a temporary directory of its own, dir_.
template <typename Case>
class CasesInTempDir : public testing::TestWithParam<Case> {
protected:
    TempDir dir_;
};

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// True when `text` matches `pattern`, in which each '*' stands for any run
// of characters but newlines (the texts of libpcap's messages, durations).
inline bool matches(const char* pattern, const char* text) {
    for (; *pattern != '*'; ++pattern, ++text) {
        if (*pattern != *text) return false;
        if (*pattern == '\0') return true;
    }
    for (;; ++text) {
        if (matches(pattern + 1, text)) return true;
        if (*text == '\0' || *text == '\n') return false;
    }
}

inline bool matches(const std::string& pattern, const std::string& text) {
    return matches(pattern.c_str(), text.c_str());
}

// `text` with every `from` replaced by `to`.
inline std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// `out` with the duration of each sweep report (" took " then "%2.5f":
// digits, a point, five decimals) written as "D", as in "Flow cleanup took D
// seconds (3 -> 2)"; a malformed duration is left as printed, so that a
// comparison with the expected text shows it.
inline std::string maskDurations(const std::string& out) {
    static const std::string took = " took ";
    std::string masked;
    size_t from = 0;
    for (size_t at; (at = out.find(took, from)) != std::string::npos;) {
        const size_t begin = at + took.size();
        size_t end = begin;
        while (end < out.size() && std::isdigit(static_cast<unsigned char>(out[end]))) ++end;
        const bool wellFormed =
            end > begin && end + 6 <= out.size() && out[end] == '.' &&
            std::all_of(out.begin() + long(end) + 1, out.begin() + long(end) + 6,
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        masked += out.substr(from, begin - from);
        if (wellFormed) {
            masked += "D";
            from = end + 6;
        } else {
            from = begin;
        }
    }
    return masked + out.substr(from);
}

// Names each case of a parameterized test after its `name` field:
//   INSTANTIATE_TEST_SUITE_P(Cases, Suite, testing::ValuesIn(cases), CaseName());
struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const {
        return std::string(info.param.name);
    }
};

#endif
