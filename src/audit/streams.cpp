// SPDX-License-Identifier: MIT
#include "audit/streams.hpp"

#include <array>

#include "ps/stream_ids.hpp"

namespace psrate {
namespace {

using Json = nlohmann::ordered_json;

std::string dec(uint64_t v) { return std::to_string(v); }

std::string hex2(uint8_t v) { return {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]}; }

// num / den rounded to `places` decimals, without trailing zeros: 30000/1001 -> "29.97".
std::string decimal(uint64_t num, uint64_t den, int places) {
  uint64_t scale = 1;
  for (int i = 0; i < places; ++i) scale *= 10;
  uint64_t v = (num * scale * 2 + den) / (den * 2);
  std::string whole = dec(v / scale), frac = dec(v % scale);
  frac = std::string(size_t(places) - frac.size(), '0') + frac;
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  return frac.empty() ? whole : whole + "." + frac;
}

std::string frame_rate_text(const VideoParams& v) {
  Rational r = frame_rate(v);
  if (r.num == 0) return "";
  return r.den == 1 ? dec(r.num) : dec(r.num) + std::string("/") + dec(r.den);
}

// aspect_ratio_information: the display aspect in MPEG-2, the pel aspect in MPEG-1
// (its CCIR 601 codes are 4:3 and 16:9 pictures).
std::string aspect_text(const VideoParams& v) {
  static constexpr std::array<const char*, 5> kMpeg2{"", "1:1", "4:3", "16:9", "2.21:1"};
  if (v.mpeg2)
    return v.aspect_ratio_information < kMpeg2.size() ? kMpeg2[v.aspect_ratio_information] : "";
  switch (v.aspect_ratio_information) {
    case 1: return "1:1";
    case 3:
    case 6: return "16:9";
    case 8:
    case 12: return "4:3";
    default: return "";
  }
}

std::string video_words(const StreamCount& s) {
  const VideoParams& v = s.video;
  std::string w = v.mpeg2 ? "MPEG-2 video " : "MPEG-1 video ";
  w += dec(v.width);
  w += 'x';
  w += dec(v.height);
  std::string aspect = aspect_text(v);
  if (!aspect.empty()) w += ' ' + aspect;
  Rational r = frame_rate(v);
  if (r.num != 0) {
    w += ' ';
    w += decimal(r.num, r.den, 3);
    w += " fps";
  }
  uint64_t declared = declared_bit_rate(v);
  if (declared != 0) w += std::string(", max ") + rate_words(declared);
  return w;
}

std::string layout(uint32_t full, bool lfe) { return dec(full) + (lfe ? ".1" : ".0"); }

std::string khz(uint32_t hz) { return decimal(hz, 1000, 3) + " kHz"; }

std::string mpeg_audio_words(const MpegAudioFrame& f) {
  static constexpr std::array<const char*, 4> kModes{"stereo", "joint stereo", "dual channel",
                                                     "mono"};
  static constexpr std::array<const char*, 4> kLayers{"", "I", "II", "III"};
  std::string version = f.version == 1 ? "MPEG-1" : f.version == 2 ? "MPEG-2" : "MPEG-2.5";
  std::string w = version + " Layer " + kLayers[f.layer & 3] + std::string(" ") +
                  khz(f.sample_rate) + " " + kModes[f.mode & 3];
  if (f.bit_rate != 0) w += std::string(", ") + rate_words(f.bit_rate);
  return w;
}

std::string known_words(const StreamCount& s) {
  switch (s.codec) {
    case Codec::Mpeg1Video:
    case Codec::Mpeg2Video: return video_words(s);
    case Codec::MpegAudio: return mpeg_audio_words(s.mpeg_audio);
    case Codec::Ac3:
      return std::string("AC-3 ") + khz(s.ac3.sample_rate) + " " +
             layout(s.ac3.channels - (s.ac3.lfeon ? 1 : 0), s.ac3.lfeon) + ", " +
             rate_words(s.ac3.bit_rate);
    case Codec::Dts:
      return std::string("DTS ") + khz(s.dts.sample_rate) + " " +
             layout(s.dts.channels - (s.dts.lfe ? 1 : 0), s.dts.lfe);
    case Codec::Lpcm:
      return std::string("LPCM ") + khz(s.lpcm.lpcm_rate) + std::string(" ") +
             dec(s.lpcm.lpcm_bits) + "-bit " + dec(s.lpcm.lpcm_channels) +
             (s.lpcm.lpcm_channels == 1 ? " channel" : " channels");
    case Codec::Subpicture: return "subpicture";
    case Codec::Unknown: break;
  }
  return "";
}

// A stream whose header was not found: what its id says it is.
std::string unknown_words(const StreamRef& r) {
  if (r.is_sub) return "private stream 1 sub-stream (no header found)";
  if (r.id >= 0xE0 && r.id <= 0xEF) return "video (no sequence header found)";
  if (r.id >= 0xC0 && r.id <= 0xDF) return "MPEG audio (no frame header found)";
  if (r.id == 0xBD) return "private stream 1 (no sub-stream header)";
  if (r.id == 0xBE) return "padding";
  if (r.id == 0xBF) return "private stream 2";
  return std::string(id_class(0x100u | r.id).name);
}

}  // namespace

std::string rate_words(uint64_t bps) {
  if (bps >= 999'950) {  // 1000.0 kbit/s and above
    std::string r = decimal(bps, 1'000'000, 3);
    return (r.find('.') == std::string::npos ? r + ".0" : r) + " Mbit/s";
  }
  if (bps % 1000 == 0) return dec(bps / 1000) + " kbit/s";
  std::string r = decimal(bps, 1000, 1);
  return (r.find('.') == std::string::npos ? r + ".0" : r) + " kbit/s";
}

std::string stream_name(const StreamRef& s) {
  return s.is_sub ? hex2(s.id) + " " + hex2(s.sub) : hex2(s.id);
}

std::string stream_description(const StreamRef& s) {
  std::string w = known_words(*s.count);
  return w.empty() ? unknown_words(s) : w;
}

std::string_view codec_name(const StreamCount& s) {
  switch (s.codec) {
    case Codec::Mpeg1Video: return "mpeg1video";
    case Codec::Mpeg2Video: return "mpeg2video";
    case Codec::MpegAudio:
      return s.mpeg_audio.layer == 1 ? "mp1" : s.mpeg_audio.layer == 2 ? "mp2" : "mp3";
    case Codec::Ac3: return "ac3";
    case Codec::Dts: return "dts";
    case Codec::Lpcm: return "lpcm";
    case Codec::Subpicture: return "subpicture";
    case Codec::Unknown: break;
  }
  return "";
}

namespace {

Json or_null(uint64_t v, bool present) { return present ? Json(v) : Json(); }

void video_json(Json& j, const VideoParams& v) {
  j["width"] = v.width;
  j["height"] = v.height;
  std::string aspect = aspect_text(v), rate = frame_rate_text(v);
  j["aspect"] = aspect.empty() ? Json() : Json(aspect);
  j["frame_rate"] = rate.empty() ? Json() : Json(rate);
  j["mpeg"] = v.mpeg2 ? 2 : 1;
  uint64_t declared = declared_bit_rate(v);
  j["bit_rate"] = or_null(declared, declared != 0);
  j["vbv_buffer_size"] = vbv_buffer_bytes(v);
}

void audio_json(Json& j, uint32_t sample_rate, uint32_t channels, uint64_t bit_rate) {
  j["sample_rate"] = sample_rate;
  j["channels"] = channels;
  j["bit_rate"] = or_null(bit_rate, bit_rate != 0);
}

void codec_json(Json& j, const StreamCount& s) {
  switch (s.codec) {
    case Codec::Mpeg1Video:
    case Codec::Mpeg2Video: video_json(j, s.video); break;
    case Codec::MpegAudio:
      audio_json(j, s.mpeg_audio.sample_rate, s.mpeg_audio.channels, s.mpeg_audio.bit_rate);
      break;
    case Codec::Ac3: audio_json(j, s.ac3.sample_rate, s.ac3.channels, s.ac3.bit_rate); break;
    case Codec::Dts: audio_json(j, s.dts.sample_rate, s.dts.channels, 0); break;
    case Codec::Lpcm:
      audio_json(j, s.lpcm.lpcm_rate, s.lpcm.lpcm_channels,
                 uint64_t(s.lpcm.lpcm_rate) * s.lpcm.lpcm_bits * s.lpcm.lpcm_channels);
      j["bits"] = s.lpcm.lpcm_bits;
      break;
    case Codec::Subpicture:
    case Codec::Unknown: break;
  }
}

}  // namespace

Json stream_json(const Measurement& m, const StreamRef& r, uint64_t bytes) {
  const StreamCount& s = *r.count;
  Json j;
  j["id"] = hex2(r.id);
  j["packets"] = s.packets;
  j["bytes"] = bytes;
  j["sub"] = r.is_sub ? Json(hex2(r.sub)) : Json();
  j["payload_bytes"] = s.payload_bytes;
  std::string_view codec = codec_name(s);
  j["codec"] = codec.empty() ? Json() : Json(std::string(codec));
  codec_json(j, s);
  j["first_pts"] = or_null(s.first_pts, s.has_pts);
  j["last_pts"] = or_null(s.last_pts, s.has_pts);
  uint64_t rate = 0;
  bool timed = stream_rate(m, s, rate);
  j["average_rate"] = or_null(rate, timed);
  return j;
}

}  // namespace psrate
