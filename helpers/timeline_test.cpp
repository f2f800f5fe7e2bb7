// surgewatch-timeline run as installed, on the timed output of the real
// replay and on texts made here, drawing with the real gnuplot.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "replay_cases.h"
#include "replay_run.h"
#include "support.h"

#ifndef SURGEWATCH_TIMELINE
#error "SURGEWATCH_TIMELINE must name the surgewatch-timeline script"
#endif

namespace {

using namespace replay_cases;

// Runs surgewatch-timeline with `args` (standard input `input`).
ReplayOutcome runTimeline(const TempDir& dir, const std::vector<std::string>& args,
                          const std::optional<Bytes>& input = std::nullopt) {
    return runReplay(dir, args, input, SURGEWATCH_TIMELINE);
}

struct PngSize {
    uint32_t width = 0, height = 0;
};
// The size in a PNG's header chunk, or zeros for anything else.
PngSize pngSize(const Bytes& file) {
    const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() < 24 || !std::equal(signature.begin(), signature.end(), file.begin()) ||
        std::memcmp(&file[12], "IHDR", 4) != 0)
        return {};
    auto be32 = [&](size_t at) {
        return uint32_t(file[at]) << 24 | uint32_t(file[at + 1]) << 16 |
               uint32_t(file[at + 2]) << 8 | file[at + 3];
    };
    return {be32(16), be32(20)};
}

// 1200 pixels wide; 110 for the heading and key, 150 a panel, 60 for the
// time axis.
constexpr uint32_t pictureHeight(uint32_t panels) { return 110 + 150 * panels + 60; }

// The incident replayed with -t -c and drawn by the real gnuplot, as PNG
// from the replay's file and as SVG from standard input: a panel for each
// of the three destinations that alerted, then the quiet one, gnuplot
// silent; the title names the capture either way. SURGEWATCH_TIMELINE_EXAMPLE=DIR
// keeps the capture there, as incident.pcap (docs/timeline-example.png was
// drawn from it).
TEST(Timeline, DrawsACaptureWithAllThreeAlertKinds) {
    TempDir dir;
    const std::string capture = dir.file("incident.pcap");
    writePcap(capture, DLT_EN10MB, incident(kT));
    if (const char* keep = std::getenv("SURGEWATCH_TIMELINE_EXAMPLE"))
        std::filesystem::copy_file(capture, std::string(keep) + "/incident.pcap",
                                   std::filesystem::copy_options::overwrite_existing);
    const std::string filter = "ip and dst net 198.51.100.0/24";
    const ReplayOutcome replay = runReplay(dir, {"-t", "-c", capture, filter});
    ASSERT_EQ(replay.status, 0) << replay.out;
    std::string alerts;
    for (size_t line = 0, end; (end = replay.out.find('\n', line)) != std::string::npos;
         line = end + 1)
        if (replay.out.compare(line + 21, 7, "FLOOD: ") == 0)
            alerts += replay.out.substr(line, end + 1 - line);
    EXPECT_EQ(alerts,
              at(6) + kFlowAlert + at(16) + "FLOOD: 198.51.100.7 - 116.83 flows/s\n" + at(22) +
                  "FLOOD: 198.51.100.7 - 166.83 flows/s\n" + at(28) +
                  "FLOOD: 198.51.100.7 - 216.83 flows/s\n" + at(30) +
                  "FLOOD: 198.51.100.9 - 2100.17 tcp packets/s from 192.0.2.20 [DSCP 00]\n" +
                  at(30) + "FLOOD: 198.51.100.9 - 5199.17 packets/s\n");
    const std::string timed = dir.file("timed.txt");
    std::filesystem::copy_file(dir.file("stdout"), timed);

    const std::string png = dir.file("timeline.png");
    const ReplayOutcome drawn = runTimeline(dir, {png, timed});
    EXPECT_EQ(drawn.status, 0);
    EXPECT_EQ(drawn.out, "");
    EXPECT_EQ(drawn.err, "");  // no word from gnuplot either
    const Bytes picture = readFile(png);
    EXPECT_EQ(pngSize(picture).width, 1200u);
    EXPECT_EQ(pngSize(picture).height, pictureHeight(4));
    EXPECT_GT(picture.size(), 20000u);
    EXPECT_LT(picture.size(), 400000u);

    const std::string svg = dir.file("timeline.svg");
    const ReplayOutcome piped = runTimeline(dir, {svg}, readFile(timed));
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    const Bytes svgBytes = readFile(svg);
    const std::string text(svgBytes.begin(), svgBytes.end());
    EXPECT_NE(text.find("height=\"" + std::to_string(pictureHeight(4)) + "\""), std::string::npos);
    // The floods: seconds at 1000 packets or 50 new flows and more, around
    // the alerts.
    for (const std::string& label :
         {std::string("198.51.100.5"), std::string("198.51.100.7"), std::string("198.51.100.9"),
          std::string("198.51.100.3   no alert"), std::string("1 alert<"), std::string("3 alerts"),
          std::string("2 alerts"),
          "from " + capture + ", 2001-09-09 01:46:40 to 2001-09-09 01:47:10 (UTC)",
          std::string("limit 100 new flows/s"), std::string("counted: new flows"),
          std::string("from 192.0.2.7<"), std::string("from 192.0.2.20<"),
          std::string("flood from 01:46:40"), std::string("to 01:46:45"),
          std::string("flood from 01:46:51"), std::string("to 01:47:07"),
          std::string("flood from 01:47:05"), std::string("to 01:47:09")})
        EXPECT_NE(text.find(label), std::string::npos) << label;
    EXPECT_EQ(text.find("from standard input"), std::string::npos);
    EXPECT_GT(svgBytes.size(), 20000u);
    EXPECT_LT(svgBytes.size(), 400000u);
}

// What the script makes of other inputs, drawn as SVG to read its texts
// (OUT in the options), from standard input or a file (IN).
struct TimelineCase {
    const char* name;
    std::vector<std::string> options;
    std::string (*input)();
    int status;
    std::vector<std::string> shown;  // in the SVG (status 0) or on standard error
    std::vector<std::string> absent;
    uint32_t panels;
};
void PrintTo(const TimelineCase& c, std::ostream* os) { printCaseName(c, os); }

class Timelines : public CasesInTempDir<TimelineCase> {};

TEST_P(Timelines, DrawOrRefuse) {
    const TimelineCase& c = GetParam();
    const std::string svg = dir_.file("out.svg");
    const std::string input = c.input();
    // IN: the input as a file whose name is full of what gnuplot's text
    // markup and SVG would read as their own.
    const std::string inputFile = dir_.file("a&b<c>_x{1}^'.txt");
    std::vector<std::string> args = c.options;
    for (std::string& a : args) {
        if (a == "OUT") a = svg;
        if (a == "IN") {
            a = inputFile;
            writeFile(inputFile, Bytes(input.begin(), input.end()));
        }
    }
    const ReplayOutcome r = runTimeline(dir_, args, Bytes(input.begin(), input.end()));
    EXPECT_EQ(r.status, c.status) << r.err;
    const Bytes written = readFile(svg);
    const std::string text = c.status == 0 ? std::string(written.begin(), written.end()) : r.err;
    if (c.status == 0) {
        EXPECT_EQ(r.err, "");
        EXPECT_NE(text.find("height=\"" + std::to_string(pictureHeight(c.panels)) + "\""),
                  std::string::npos);
    } else {
        EXPECT_TRUE(written.empty());
    }
    for (const std::string& s : c.shown)
        EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << r.err;
    for (const std::string& s : c.absent) EXPECT_EQ(text.find(s), std::string::npos) << s;
}

// 1000 destinations with one to 1000 alerts each (500,500 in all), the one
// numbered n with n alerts, all in one second but the last at 02:00:00.
std::string thousandDestinations() {
    std::string text = "Opening file -... done\n";
    for (int n = 1; n <= 1000; ++n)
        for (int i = 0; i < n; ++i)
            text += "2026-12-10T01:00:00Z FLOOD: 10." + std::to_string(n / 256) + "." +
                    std::to_string(n % 256) + ".1 - " + std::to_string(100 + i) + ".50 flows/s\n";
    return text +
           "2026-12-10T02:00:00Z Host cleanup took 0.00100 seconds (1 -> 1)\nReplayed 9 packets\n";
}

INSTANTIATE_TEST_SUITE_P(
    Timeline, Timelines,
    testing::Values(
        TimelineCase{"rows_capped_at_the_destinations_with_most_alerts",
                     {"-n", "4", "OUT"},
                     thousandDestinations,
                     0,
                     {"10.3.232.1", "10.3.231.1", "10.3.230.1", "10.3.229.1", "1000 alerts",
                      "showing the 4 destinations with the most alerts; 996 more destinations "
                      "(496506 alerts) not shown",
                      "01:00:00 to 2026-12-10 02:00:00"},
                     {"10.3.228.1", "no alerts"},
                     4},
        TimelineCase{
            "sweeps_without_alerts",
            {"OUT", "-"},
            [] {
                return std::string(
                    "Opening file x... done\n2026-12-10T11:31:07Z Flow cleanup took 0.00001 "
                    "seconds (0 -> 0)\nReplayed 1 packets\n");
            },
            0,
            {"no alerts in this replay", "2026-12-10 11:31:07 to 2026-12-10 11:31:07"},
            {"not shown"},
            1},
        // Each kind of line the timeline reads, and lines it must skip: an
        // unstamped alert, a line that only looks like one, expanded years.
        TimelineCase{
            "every_line_kind_and_lines_skipped",
            {"OUT"},
            [] {
                return std::string(
                    "FLOOD: 192.0.2.1 - 9999.00 packets/s\n"
                    "1999-12-31T23:59:50Z FLOOD: 192.0.2.2 - 2500.00 ipv6-icmp packets/s from "
                    "192.0.2.3 "
                    "[DSCP 00]\n"
                    "2000-01-01T00:00:10Z FLOOD: 192.0.2.2 - 120.33 flows/s\n"
                    "2000-01-01T00:00:10Z FLOOD: 192.0.2.2 - 80000.00 packets/s\n"
                    "2000-01-01T00:00:11Z FLOOD: 192.0.2.4 - 300.00 packets/s and more\n"
                    "2000-01-01T00:00:12Z FLOOD: '192.0.2.5 - 300.00 packets/s\n"
                    "+010000-01-01T00:00:00Z FLOOD: 192.0.2.6 - 101.00 flows/s\n"
                    "-000001-12-31T23:59:59Z FLOOD: 192.0.2.6 - 101.00 flows/s\n");
            },
            0,
            {"192.0.2.2", "3 alerts", "left out: 2 alerts dated before the year 0000 or after 9999",
             "1999-12-31 23:59:50 to 2000-01-01 00:00:12"},
            {"192.0.2.1", "192.0.2.4", "192.0.2.5", "192.0.2.6"},
            1},
        TimelineCase{
            "file_name_drawn_as_it_is",
            {"OUT", "IN"},
            [] {
                return std::string(
                    "2026-12-10T11:31:07Z FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from "
                    "192.0.2.7 [DSCP 2E]\n");
            },
            0,
            {"/a&amp;b&lt;c>_x{1}^'.txt, 2026-12-10 11:31:07 to 2026-12-10 11:31:07 (UTC)",
             "1 alert<"},
            {},
            1},
        // Seconds counted, no alert: the busiest destinations by their
        // busiest second, at most ROWS; the title given.
        TimelineCase{"counts_without_alerts_titled",
                     {"-n", "2", "-T", "core router 'a'", "OUT"},
                     [] {
                         return std::string(
                             "Opening file x.pcap... done\n"
                             "COUNT 2026-12-10T11:31:07Z 192.0.2.1 10 packets 0 flows\n"
                             "COUNT 2026-12-10T11:31:07Z 192.0.2.2 0 packets 30 flows\n"
                             "COUNT 2026-12-10T11:31:08Z 192.0.2.3 20 packets 0 flows\n"
                             "COUNT 2026-12-10T11:31:08Z 192.0.2.1 1 packets 1 flows\n"
                             "COUNT +010000-01-01T00:00:00Z 192.0.2.4 99 packets 0 flows\n");
                     },
                     0,
                     {"from core router 'a', 2026-12-10 11:31:07 to 2026-12-10 11:31:08",
                      "192.0.2.2   no alert", "192.0.2.3   no alert", "no alerts in this replay"},
                     {"192.0.2.1", "192.0.2.4", "x.pcap", "flood from"},
                     2},
        TimelineCase{"unstamped_replay_refused",
                     {"OUT"},
                     [] {
                         return std::string(
                             "FLOOD: 192.0.2.1 - 9999.00 packets/s\nReplayed 1 packets\n");
                     },
                     1,
                     {"surgewatch-timeline: no stamped lines in standard input: make them with "
                      "surgewatch-replay -t\n"},
                     {},
                     0},
        TimelineCase{"output_neither_png_nor_svg",
                     {"out.jpg"},
                     [] { return std::string(); },
                     2,
                     {"Usage: surgewatch-timeline [-n ROWS] [-T TITLE] OUTPUT.png|OUTPUT.svg "
                      "[INPUT]\n"},
                     {},
                     0},
        TimelineCase{
            "no_rows", {"-n", "0", "OUT"}, [] { return std::string(); }, 2, {"Usage: "}, {}, 0},
        TimelineCase{"unreadable_input",
                     {"OUT", "/nonexistent/timed.txt"},
                     [] { return std::string(); },
                     1,
                     {"surgewatch-timeline: cannot read /nonexistent/timed.txt\n"},
                     {},
                     0}),
    CaseName());

}  // namespace
