// Runs the real surgewatch-replay program for the replay tests and collects
// what it did.
#ifndef SURGEWATCH_TESTS_REPLAY_RUN_H
#define SURGEWATCH_TESTS_REPLAY_RUN_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

#ifndef SURGEWATCH_REPLAY
#error "SURGEWATCH_REPLAY must name the surgewatch-replay program"
#endif

struct ReplayOutcome {
    int status = -1;  // exit status; -1 when the program did not exit
    int signal = 0;   // the signal that ended it, if one did
    std::string out;  // standard output, durations and line numbers masked
    std::string err;
};

// `text` with the number (digits and dots) after each `marker` replaced by
// `mask`.
inline std::string maskNumbersAfter(std::string text, const std::string& marker,
                                    const std::string& mask) {
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
        at += marker.size();
        size_t end = at;
        while (end < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.'))
            ++end;
        text.replace(at, end - at, mask);
    }
    return text;
}

// Runs the replay program (or `program`) with `args`; its standard input is
// `input` through a pipe (as from tcpdump -w -), or /dev/null. The unmasked
// standard output stays in dir's file "stdout" until the next run. An alarm, which
// survives exec, ends a run that hangs after 20 s. In the standard output,
// processor times ("took D") and source line numbers ("alert.cpp N") are
// masked: they are not the behaviour under test.
inline ReplayOutcome runReplay(const TempDir& dir, const std::vector<std::string>& args,
                               const std::optional<std::vector<uint8_t>>& input = std::nullopt,
                               const char* program = SURGEWATCH_REPLAY) {
    constexpr unsigned kAlarmSeconds = 20;
    const std::string outPath = dir.file("stdout");
    const std::string errPath = dir.file("stderr");
    int pipeEnds[2] = {-1, -1};
    if (input && pipe(pipeEnds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        int in = input ? pipeEnds[0] : open("/dev/null", O_RDONLY);
        if (input) close(pipeEnds[1]);
        dup2(in, 0);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        alarm(kAlarmSeconds);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (input) {
        close(pipeEnds[0]);
        // The program may stop reading early (a damaged file): no SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        size_t done = 0;
        while (done < input->size()) {
            const ssize_t n = write(pipeEnds[1], input->data() + done, input->size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        close(pipeEnds[1]);
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    ReplayOutcome outcome;
    if (WIFEXITED(wstatus)) outcome.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) outcome.signal = WTERMSIG(wstatus);
    const std::vector<uint8_t> out = readFile(outPath);
    const std::vector<uint8_t> err = readFile(errPath);
    outcome.out =
        maskNumbersAfter(maskDurations(std::string(out.begin(), out.end())), "alert.cpp ", "N");
    outcome.err.assign(err.begin(), err.end());
    return outcome;
}

#endif
