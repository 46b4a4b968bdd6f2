// SPDX-License-Identifier: MIT
#include "support.hpp"

#include "cli/cli.hpp"
#include "io/byte_source.hpp"
#include "ps/listing.hpp"
#include "text/out_buffer.hpp"

namespace psrate::test {

const std::string kUsagePrefix =
    "\x88\xf8\x90\x94\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\x81\x42\nusage: ";
const std::string kCannotOpen =
    "\x93\xc7\x82\xdd\x8e\xe6\x82\xe8\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8a\x4a\x82\xaf"
    "\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81\x42\n";
const std::string kSeekError = "\x83\x56\x81\x5b\x83\x4e\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n";
const std::string kReadError =
    "\x93\xc7\x82\xdd\x8e\xe6\x82\xe8\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n";
const std::string kWriteError =
    "\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n";

std::string progress(int64_t done, int64_t total, int64_t percent, char end) {
  return "\x8f\x88\x97\x9d: " + std::to_string(done) + "/" + std::to_string(total) +
         "\x83\x6f\x83\x43\x83\x67 (" + std::to_string(percent) + "%)" + end;
}

namespace {

OutBuffer& capture_into(std::string& captured) {
  static OutBuffer out;
  out.capture = &captured;
  out.used = 0;
  out.failed = false;
  return out;
}

// The listing, and where the walk ended.
struct ListingToTheEnd {
  static constexpr KindSet kWhole = Listing::kWhole;
  Listing listing;
  uint64_t final_base = 0;

  Failure take(const Unit& unit) { return listing.take(unit); }
  Failure settle() { return listing.settle(); }
  Failure finish(const WalkEnd& end) {
    final_base = end.base;
    return listing.finish(end);
  }
};

}  // namespace

PassResult dump(const Bytes& bytes, size_t window_size, Walk walk) {
  std::string captured;
  ListingToTheEnd consumer;
  consumer.listing.out = &capture_into(captured);
  std::vector<uint8_t> window(window_size);
  Bytes copy = bytes;
  MemoryBytes memory{copy};
  WalkFacts facts;
  Failure f = psrate::walk(memory_source(memory), walk, window, consumer, &facts);
  flush(*consumer.listing.out);
  consumer.listing.out->capture = nullptr;
  return {f, captured, consumer.final_base, 0, facts};
}

PassResult rewrite(Bytes& bytes, uint32_t bitrate, size_t window_size, Walk walk,
                   uint64_t fail_write, bool quiet, const volatile std::sig_atomic_t* stop) {
  std::string captured;
  OutBuffer& out = capture_into(captured);
  std::vector<uint8_t> window(window_size);
  MemoryBytes memory{bytes};
  memory.fail_write = fail_write;
  ByteSource source = memory_source(memory);
  PassOptions options;
  options.mode = RunMode::Rewrite;
  options.bitrate = bitrate;
  options.walk = walk;
  options.quiet = quiet;
  options.stop = stop;
  PassOutcome o = run_pass(source, window, out, options);
  flush(out);
  out.capture = nullptr;
  return {o.failure, captured, 0, memory.writes, o.facts, o.interrupted_at};
}

AuditRun audit(const Bytes& bytes, size_t window_size) {
  std::vector<uint8_t> window(window_size);
  Bytes copy = bytes;
  MemoryBytes memory{copy};
  ByteSource source = memory_source(memory);
  AuditRun r{};
  r.failure = measure_stream(source, window, r.measurement);
  r.verdict = judge(r.measurement);
  return r;
}

}  // namespace psrate::test
