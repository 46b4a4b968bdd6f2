// SPDX-License-Identifier: MIT
// The verdict on whole streams: DVD, SVCD and VCD streams built with real PES
// headers, sequence headers and sub-streams, each made to trigger one rule of
// the profile's limits (or to stay just clear of it), and the remedy it names.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "audit/audit.hpp"
#include "audit/report.hpp"
#include "audit/streams.hpp"
#include "dvd_recipe.hpp"
#include "io/joined_source.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

std::set<std::string> codes(const Verdict& v, Severity severity) {
  std::set<std::string> c;
  for (const FindingClass& f : kFindingClasses)
    if (v.found[size_t(f.finding)] && v.severity[size_t(f.finding)] == severity)
      c.insert(std::string(f.code));
  return c;
}

struct VerdictCase {
  const char* name;
  std::function<Recipe()> recipe;
  std::set<std::string> problems, notes;
  Remedy remedy;
  uint64_t suggested;
  friend void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }
};

class Verdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(Verdicts, FindingsRemedyAndRate) {
  const VerdictCase& c = GetParam();
  AuditRun r = audit(build(c.recipe()));
  ASSERT_EQ(r.failure, Failure::None);
  EXPECT_EQ(codes(r.verdict, Severity::Problem), c.problems);
  EXPECT_EQ(codes(r.verdict, Severity::Note), c.notes);
  EXPECT_EQ(r.verdict.remedy_needed, c.remedy);
  EXPECT_EQ(r.verdict.has_suggestion, c.remedy == Remedy::Rewrite);
  EXPECT_EQ(r.verdict.suggested_rate, c.suggested);
  EXPECT_EQ(r.verdict.problem, !c.problems.empty());
  for (const FindingClass& f : kFindingClasses) {
    if (!r.verdict.found[size_t(f.finding)]) continue;
    EXPECT_FALSE(finding_message(f.finding, r.measurement, r.verdict).empty()) << f.code;
  }
}

Recipe dvd() { return {}; }
// MPEG-1 packs of 2324 bytes at 1,411,200 bit/s, 352x288 video, no AC-3.
Recipe vcd() {
  Recipe r;
  r.pack_size = 2324;
  r.mpeg1 = true;
  r.scr_units = 3528;
  r.mux = 3528;
  r.video = {352, 288, 8, 3, 2875, false};
  r.ac3 = false;
  r.bounds = {{0xE0, 1, 46}};
  return r;
}
Recipe with(std::function<void(Recipe&)> change, Recipe r = dvd()) {
  change(r);
  return r;
}
// ffmpeg's DVD clock: 10,091,200 bit/s, 0.11% above the limit
constexpr uint64_t kFfmpegDvd = 25228;

INSTANTIATE_TEST_SUITE_P(
    Streams, Verdicts,
    ::testing::Values(
        VerdictCase{"dvd_as_authored", dvd, {}, {}, Remedy::None, 0},
        VerdictCase{"dvd_fields_lowered",
                    [] { return with([](Recipe& r) { r.mux = 22500; }); },
                    {"mux_rate_below_needed"},
                    {"duration_mismatch"},  // a player's size / rate is 12% off
                    Remedy::Rewrite,
                    10080000},
        VerdictCase{"dvd_fields_above_the_limit",
                    [] { return with([](Recipe& r) { r.mux = 25300; }); },
                    {"mux_rate_above_profile"},
                    {},
                    Remedy::Rewrite,
                    10080000},
        // the SCRs barely above the limit: a note; fields at the standard rate are right
        VerdictCase{"dvd_clock_slightly_fast",
                    [] { return with([](Recipe& r) { r.scr_units = kFfmpegDvd; }); },
                    {},
                    {"scr_above_profile"},
                    Remedy::None,
                    0},
        // ... and the fields judged against the limit, not the SCRs' need
        VerdictCase{"dvd_clock_slightly_fast_fields_low",
                    [] {
                      return with([](Recipe& r) {
                        r.scr_units = kFfmpegDvd;
                        r.mux = 24500;
                      });
                    },
                    {"mux_rate_below_needed"},
                    {"scr_above_profile"},
                    Remedy::Rewrite,
                    10080000},
        // ffmpeg's -f dvd without -muxrate: the SCRs far too fast for DVD, the
        // streams themselves small (the packs are mostly padding)
        VerdictCase{"dvd_clock_far_too_fast_streams_fit",
                    [] {
                      return with([](Recipe& r) {
                        r.scr_units = 4 * 25200;
                        r.mux = 4 * 25200;
                        r.padding = 1700;
                      });
                    },
                    {"mux_rate_above_profile", "scr_above_profile"},
                    {},
                    Remedy::Remux,
                    0},
        VerdictCase{"dvd_clock_far_too_fast_streams_too_big",
                    [] {
                      return with([](Recipe& r) {
                        r.scr_units = 2 * 25200;
                        r.mux = 2 * 25200;
                      });
                    },
                    {"mux_rate_above_profile", "scr_above_profile"},
                    {},
                    Remedy::Reencode,
                    0},
        // 0.6% above: beyond a muxer's rounding, and the fields below the need
        VerdictCase{"dvd_clock_0_6_percent_fast_fields_low",
                    [] {
                      return with([](Recipe& r) {
                        r.scr_units = 25352;
                        r.mux = 25200;
                        r.padding = 1000;
                      });
                    },
                    {"mux_rate_below_needed", "scr_above_profile"},
                    {},
                    Remedy::Remux,
                    0},
        VerdictCase{"dvd_video_640x480",
                    [] {
                      return with([](Recipe& r) {
                        r.video.width = 640;
                        r.video.height = 480;
                        r.video.frame_rate_code = 4;
                      });
                    },
                    {"video_outside_profile"},
                    {},
                    Remedy::Reencode,
                    0},
        VerdictCase{"dvd_video_declares_10_mbit",
                    [] { return with([](Recipe& r) { r.video.bit_rate_value = 25000; }); },
                    {"video_outside_profile"},
                    {},
                    Remedy::Reencode,
                    0},
        // 0x3FFFF without a bit_rate_extension: no declared rate, not judged
        VerdictCase{"dvd_video_declares_no_rate",
                    [] { return with([](Recipe& r) { r.video.bit_rate_value = 0x3FFFF; }); },
                    {},
                    {},
                    Remedy::None,
                    0},
        VerdictCase{"dvd_video_at_29_97_fps_in_576_lines",
                    [] { return with([](Recipe& r) { r.video.frame_rate_code = 4; }); },
                    {"video_outside_profile"},
                    {},
                    Remedy::Reencode,
                    0},
        // ffmpeg's DVD system header: private stream 1 bound at 0 while AC-3 is in it
        VerdictCase{"dvd_private_stream_1_bound_0",
                    [] {
                      return with([](Recipe& r) { r.bounds = {{0xE0, 1, 232}, {0xBD, 1, 0}}; });
                    },
                    {},
                    {"buffer_bound_below_profile"},
                    Remedy::None,
                    0},
        // a bound for a stream that is not there is not judged
        VerdictCase{"dvd_bound_for_an_absent_stream",
                    [] {
                      return with([](Recipe& r) {
                        r.bounds = {{0xE0, 1, 232}, {0xBD, 1, 58}, {0xC0, 0, 1}};
                      });
                    },
                    {},
                    {},
                    Remedy::None,
                    0},
        VerdictCase{"svcd_fields_at_ffmpeg_rate",
                    [] {
                      Recipe r;
                      r.pack_size = 2324;
                      r.scr_units = 6900;
                      r.mux = 7218;  // 2,887,200 bit/s
                      r.video = {480, 576, 2, 3, 6500, true};
                      r.ac3 = false;
                      r.bounds = {{0xE0, 1, 230}};
                      r.padding = 1500;
                      return r;
                    },
                    {"mux_rate_above_profile"},
                    {},
                    Remedy::Rewrite,
                    2788800},
        VerdictCase{"vcd_as_authored", vcd, {}, {}, Remedy::None, 0},
        VerdictCase{
            "vcd_with_mpeg2_video",
            [] { return with([](Recipe& r) { r.video = {352, 288, 2, 3, 2875, true}; }, vcd()); },
            {"video_outside_profile"},
            {},
            Remedy::Reencode,
            0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the elementary streams ---

TEST(Streams, CodecsRatesAndPresentation) {
  AuditRun r = audit(build(dvd()));
  const Measurement& m = r.measurement;
  const StreamCount& video = m.census.ids[0xE0];
  EXPECT_EQ(video.codec, Codec::Mpeg2Video);
  EXPECT_EQ(video.video.width, 720u);
  EXPECT_EQ(declared_bit_rate(video.video), 8000000u);
  const StreamCount& ac3 = m.census.subs[0x80];
  EXPECT_EQ(ac3.codec, Codec::Ac3);
  EXPECT_EQ(ac3.ac3.bit_rate, 192000u);
  EXPECT_EQ(ac3.packets, 100u);
  // 200-byte packets: 6 + 3 + 5 header bytes, 4 of sub-stream header
  EXPECT_EQ(ac3.payload_bytes, 100u * (200 - 14 - 4));
  uint64_t rate = 0;
  ASSERT_TRUE(stream_rate(m, ac3, rate));
  // 399 pairs of 2048 bytes at 25200 units: sum dt = 399 * 2048 * 540000 / 25200 ticks, floored per
  // SCR
  EXPECT_EQ(rate, uint64_t(Wide(ac3.payload_bytes) * 8 * kTicksPerSecond / m.sum_dt));
  // PTS 7200 .. 7200 + 399 * 3600, plus one frame at 25 fps: 400 frames = 16 s
  EXPECT_TRUE(r.verdict.presentation.known);
  EXPECT_EQ(r.verdict.presentation.id, 0xE0);
  EXPECT_EQ(r.verdict.presentation.ms, 16000u);
  EXPECT_EQ(video.first_pts, 7200u);
  EXPECT_EQ(video.last_pts, 7200u + 399 * 3600);
}

// Two segments (the SCR restarts between them): the presentation is the sum of
// their spans, each with its frame; B-pictures out of order change nothing.
TEST(Streams, PresentationOverSegmentsWithPicturesOutOfOrder) {
  StreamBuilder b;
  const int64_t order[] = {3600, 0, 10800, 7200};  // I P B B as they are sent
  for (int seg = 0; seg < 2; ++seg)
    for (int k = 0; k < 4; ++k) {
      b.pack_scr(uint64_t(k) * 100000, 5000);
      pes(b, 0xE0, 2000, k == 0 && seg == 0 ? sequence({}) : Bytes{},
          order[k] + seg * 900000 + (seg ? 5 : 0));
    }
  AuditRun r = audit(b.end().data);
  ASSERT_TRUE(r.verdict.presentation.known);
  // each segment: 10800 ticks + 3600 for its last frame = 160 ms
  EXPECT_EQ(r.verdict.presentation.ms, 320u);
  EXPECT_EQ(r.measurement.discontinuities, 1u);
}

// An end code ends a segment where it stands, before the next pack header.
TEST(Streams, EndCodeEndsTheSegment) {
  StreamBuilder b;
  b.pack_scr(0, 5000);
  pes(b, 0xE0, 500, sequence({}), 0);
  pes(b, 0xE0, 500, {}, 3600);
  b.end();
  pes(b, 0xE0, 500, {}, 900000);  // joined files: the next file's first packet
  b.pack_scr(0, 5000);
  pes(b, 0xE0, 500, {}, 903600);
  AuditRun r = audit(b.end().data);
  ASSERT_TRUE(r.verdict.presentation.known);
  EXPECT_EQ(r.verdict.presentation.ms, 160u);  // two segments of 3600 ticks and a frame
}

// Without a video stream the longest PTS span counts, without a frame period.
TEST(Streams, PresentationFromAudioAlone) {
  StreamBuilder b;
  for (int k = 0; k < 10; ++k) {
    b.pack_scr(uint64_t(k) * 100000, 5000);
    pes(b, 0xBD, 500, ac3_head(0x81), k * 2880);
    pes(b, 0xC0, 300, {}, k * 1000);
  }
  AuditRun r = audit(b.end().data);
  ASSERT_TRUE(r.verdict.presentation.known);
  EXPECT_TRUE(r.verdict.presentation.is_sub);
  EXPECT_EQ(r.verdict.presentation.sub, 0x81);
  EXPECT_EQ(r.verdict.presentation.ms, 288u);  // 9 * 2880 ticks
}

TEST(Streams, JsonEntriesSplitPrivateStream1) {
  AuditRun r = audit(build(dvd()));
  nlohmann::ordered_json j = json_report("x.vob", r.measurement, r.verdict);
  ASSERT_EQ(j["streams"].size(), 2u);
  const auto& ac3 = j["streams"][0];
  EXPECT_EQ(ac3["id"], "bd");
  EXPECT_EQ(ac3["sub"], "80");
  EXPECT_EQ(ac3["codec"], "ac3");
  EXPECT_EQ(ac3["sample_rate"], 48000);
  EXPECT_EQ(ac3["channels"], 2);
  EXPECT_EQ(ac3["bit_rate"], 192000);
  EXPECT_EQ(ac3["bytes"], r.measurement.streams[0xBD].bytes);
  const auto& video = j["streams"][1];
  EXPECT_EQ(video["codec"], "mpeg2video");
  EXPECT_EQ(video["frame_rate"], "25");
  EXPECT_EQ(video["aspect"], "4:3");
  EXPECT_EQ(video["mpeg"], 2);
  EXPECT_EQ(video["vbv_buffer_size"], 112 * 2048);
  EXPECT_EQ(j["profile_limits"]["rate_limit"], 10080000);
  EXPECT_EQ(j["presentation_duration"], 16.0);
  EXPECT_EQ(j["verdict"]["remedy"], nullptr);
}

TEST(Streams, RatesInWords) {
  struct Case {
    uint64_t bps;
    const char* words;
  } cases[] = {
      {224000, "224 kbit/s"},    {191949, "191.9 kbit/s"},   {32978, "33.0 kbit/s"},
      {999949, "999.9 kbit/s"},  {999950, "1.0 Mbit/s"},     {1150000, "1.15 Mbit/s"},
      {9000000, "9.0 Mbit/s"},   {10080000, "10.08 Mbit/s"}, {0, "0 kbit/s"},
      {1411200, "1.411 Mbit/s"},
  };
  for (const Case& c : cases) EXPECT_EQ(rate_words(c.bps), c.words) << c.bps;
}

TEST(Streams, OneLineEachInWords) {
  StreamCount ac3;
  ac3.codec = Codec::Ac3;
  ac3.ac3 = {48000, 448000, 1792, 7, true, 6};
  StreamCount dts;
  dts.codec = Codec::Dts;
  dts.dts = {48000, 1006, 512, 2, false, 2};
  StreamCount lpcm;
  lpcm.codec = Codec::Lpcm;
  lpcm.lpcm.lpcm_rate = 96000;
  lpcm.lpcm.lpcm_bits = 24;
  lpcm.lpcm.lpcm_channels = 1;
  StreamCount mp2;
  mp2.codec = Codec::MpegAudio;
  mp2.mpeg_audio = {1, 2, 224000, 44100, 1, 2, false, 731, 1152};
  StreamCount vcd;
  vcd.codec = Codec::Mpeg1Video;
  vcd.video.width = 352;
  vcd.video.height = 240;
  vcd.video.aspect_ratio_information = 12;
  vcd.video.frame_rate_code = 4;
  vcd.video.bit_rate_value = 2875;
  StreamCount nothing;
  struct Case {
    StreamRef ref;
    const char* name;
    const char* words;
  } cases[] = {
      {{0xBD, true, 0x80, &ac3}, "bd 80", "AC-3 48 kHz 5.1, 448 kbit/s"},
      {{0xBD, true, 0x88, &dts}, "bd 88", "DTS 48 kHz 2.0"},
      {{0xBD, true, 0xA0, &lpcm}, "bd a0", "LPCM 96 kHz 24-bit 1 channel"},
      {{0xC1, false, 0, &mp2}, "c1", "MPEG-1 Layer II 44.1 kHz joint stereo, 224 kbit/s"},
      {{0xE0, false, 0, &vcd}, "e0", "MPEG-1 video 352x240 4:3 29.97 fps, max 1.15 Mbit/s"},
      {{0xE1, false, 0, &nothing}, "e1", "video (no sequence header found)"},
      {{0xC0, false, 0, &nothing}, "c0", "MPEG audio (no frame header found)"},
      {{0xBD, true, 0x40, &nothing}, "bd 40", "private stream 1 sub-stream (no header found)"},
      {{0xBF, false, 0, &nothing}, "bf", "private stream 2"},
      {{0xBE, false, 0, &nothing}, "be", "padding"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stream_name(c.ref), c.name);
    EXPECT_EQ(stream_description(c.ref), c.words) << c.name;
  }
}

// --- the commands ---

TEST(Report, RemuxCommandPerProfile) {
  struct Case {
    const char* profile;
    const char* path;
    std::string command;
  } cases[] = {
      {"dvd", "movie.vob",
       "ffmpeg -i movie.vob -map 0 -map -0:d -c copy -f dvd -muxrate 10080000 movie-remux.mpg"},
      {"svcd", "dir.x/avseq01",
       "ffmpeg -i dir.x/avseq01 -map 0 -c copy -f svcd -muxrate 2788800 -packetsize 2324 "
       "dir.x/avseq01-remux.mpg"},
      {"vcd", "a.b.mpg",
       "ffmpeg -i a.b.mpg -map 0 -c copy -f vcd -muxrate 1411200 -packetsize 2324 a.b-remux.mpg"},
      // a name that reads as an option
      {"dvd", "-x.mpg",
       "ffmpeg -i ./-x.mpg -map 0 -map -0:d -c copy -f dvd -muxrate 10080000 ./-x-remux.mpg"},
  };
  for (const Case& c : cases) {
    const ProfileRow* row = nullptr;
    for (const ProfileRow& p : kProfileRows)
      if (p.name == c.profile) row = &p;
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(remux_command(c.path, *row), c.command);
  }
}

// A stream of several files: the commands name every part, in order.
TEST(Report, CommandsForAJoinedStream) {
  JoinedFiles parts;
  parts.parts = {{"VTS 01_1.VOB", 0, 2048}, {"VTS 01_2.VOB", 2048, 4096}};
  set_report_parts(&parts);
  Verdict v;
  v.remedy_needed = Remedy::Rewrite;
  std::string fix = verdict_command("ignored", v);
  v.remedy_needed = Remedy::Remux;
  v.row = &kProfileRows[0];
  std::string remux = verdict_command("ignored", v);
  set_report_parts(nullptr);
#ifdef _WIN32
  EXPECT_EQ(fix, "psrate --fix --join \"VTS 01_1.VOB\" \"VTS 01_2.VOB\"");
  EXPECT_EQ(remux,
            "ffmpeg -i \"concat:VTS 01_1.VOB|VTS 01_2.VOB\" -map 0 -map -0:d -c copy -f dvd "
            "-muxrate 10080000 \"VTS 01_1-remux.mpg\"");
#else
  EXPECT_EQ(fix, "psrate --fix --join 'VTS 01_1.VOB' 'VTS 01_2.VOB'");
  EXPECT_EQ(remux,
            "ffmpeg -i 'concat:VTS 01_1.VOB|VTS 01_2.VOB' -map 0 -map -0:d -c copy -f dvd "
            "-muxrate 10080000 'VTS 01_1-remux.mpg'");
#endif
  // offsets name their part
  EXPECT_EQ(locate(parts, 2047).part, 0u);
  EXPECT_EQ(locate(parts, 2048).part, 1u);
  EXPECT_EQ(locate(parts, 2048).offset, 0u);
  EXPECT_EQ(locate(parts, 9999).part, 1u);  // past the end: the last part
}

}  // namespace
}  // namespace psrate::test
