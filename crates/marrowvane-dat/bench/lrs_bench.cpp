// SPDX-License-Identifier: MIT
// LRS decoding beside the straightforward decoder and beside zlib's and LZ4's decoders
// on the same content, each decoding into a buffer allocated and touched beforehand.
#include <lz4.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "bench_support.hpp"
#include "lrs.hpp"
#include "lrs_reference.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"

namespace marrowvane_dat::bench {
namespace {

// One content in every codec's stored form, each checked to decode back to it.
struct LrsCase {
  Bytes content;
  Bytes lrs;
  Bytes zlib;
  Bytes lz4;
};

// Raw deflate at the default level: no header and no checksum, since neither LRS nor
// LZ4's block format verifies one either.
Bytes deflate_raw(const Bytes& content) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  Bytes out(deflateBound(&stream, static_cast<uLong>(content.size())));
  stream.next_in = content.data();
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) {
    throw std::runtime_error("deflate did not finish");
  }
  return out;
}

Bytes lz4_compress(const Bytes& content) {
  const int bound = LZ4_compressBound(static_cast<int>(content.size()));
  Bytes out(static_cast<std::size_t>(bound));
  const int written = LZ4_compress_default(reinterpret_cast<const char*>(content.data()),
                                           reinterpret_cast<char*>(out.data()),
                                           static_cast<int>(content.size()), bound);
  if (written <= 0) {
    throw std::runtime_error("LZ4_compress_default failed");
  }
  out.resize(static_cast<std::size_t>(written));
  return out;
}

// A reusable raw-inflate state: reset, not rebuilt, between runs, so no allocation is
// measured.
class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, -15) != Z_OK) {
      throw std::runtime_error("inflateInit2 failed");
    }
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() { inflateEnd(&stream_); }

  // The bytes decoded into `out`, or 0 when the stream did not end cleanly.
  std::size_t run(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
    inflateReset(&stream_);
    stream_.next_in = in.data();
    stream_.avail_in = static_cast<uInt>(in.size());
    stream_.next_out = out.data();
    stream_.avail_out = static_cast<uInt>(out.size());
    return inflate(&stream_, Z_FINISH) == Z_STREAM_END ? stream_.total_out : 0;
  }

 private:
  z_stream stream_{};
};

std::size_t lz4_decompress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
  const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(in.data()),
                                      reinterpret_cast<char*>(out.data()),
                                      static_cast<int>(in.size()), static_cast<int>(out.size()));
  return got < 0 ? 0 : static_cast<std::size_t>(got);
}

LrsCase make_case(std::string_view kind, std::size_t size) {
  LrsCase c;
  c.content = content_of_kind(kind, size);
  c.lrs = testkit::compress_lrs(c.content);
  c.zlib = deflate_raw(c.content);
  c.lz4 = lz4_compress(c.content);
  Bytes out(size);
  Inflater inflater;
  if (decompress_lrs(c.lrs) != c.content || test::reference_decompress_lrs(c.lrs) != c.content ||
      inflater.run(c.zlib, out) != size || out != c.content || lz4_decompress(c.lz4, out) != size ||
      out != c.content) {
    throw std::runtime_error("a codec did not restore the content");
  }
  return c;
}

const LrsCase& lrs_case(const std::string& kind, std::size_t size) {
  static std::map<std::pair<std::string, std::size_t>, std::unique_ptr<LrsCase>> cache;
  return cached(cache, std::pair(kind, size), [&] { return make_case(kind, size); });
}

void finish(benchmark::State& state, const LrsCase& c, std::size_t stored) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(c.content.size()));
  state.counters["compression"] =
      static_cast<double>(c.content.size()) / static_cast<double>(stored);
}

// A decoder into a buffer that is kept: `decode(input, output)` returns the bytes made.
template <class Decode>
void run_into(benchmark::State& state, const LrsCase& c, std::span<const std::uint8_t> stored,
              std::size_t room, Decode decode) {
  Bytes output(room);
  prefault(output);
  for (auto _ : state) {
    const std::size_t made = decode(stored, std::span<std::uint8_t>(output));
    benchmark::DoNotOptimize(made);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
    if (made != c.content.size()) {
      state.SkipWithError("the decoder did not restore the content");
      break;
    }
  }
  finish(state, c, stored.size());
}

const bool registered = [] {
  for (const std::string kind : {"text", "asset", "random"}) {
    for (const std::size_t size : {4 * KIB, 64 * KIB, MIB}) {
      const std::string row = "lrs/" + kind + "/" + size_name(size) + "/";
      const auto unit = size >= MIB ? benchmark::kMillisecond : benchmark::kMicrosecond;
      const auto register_one = [&](const std::string& name, auto body) {
        benchmark::RegisterBenchmark((row + name).c_str(), [kind, size, body](benchmark::State& s) {
          body(s, lrs_case(kind, size));
        })->Unit(unit);
      };

      register_one("decompress_lrs_to", [row](benchmark::State& s, const LrsCase& c) {
        compare_with(s, {row + "reference", row + "zlib_inflate", row + "lz4_decompress_safe"});
        run_into(s, c, c.lrs, detail::lrs_output_bound(c.lrs),
                 [](auto in, auto out) { return detail::decompress_lrs_to(in, out); });
      });
      register_one("decompress_lrs", [row](benchmark::State& s, const LrsCase& c) {
        compare_with(s, {row + "reference"});
        for (auto _ : s) {
          Bytes output = decompress_lrs(c.lrs);
          benchmark::DoNotOptimize(output.data());
          benchmark::ClobberMemory();
          if (output.size() != c.content.size()) {
            s.SkipWithError("decompress_lrs did not restore the content");
            break;
          }
        }
        finish(s, c, c.lrs.size());
      });
      // The straightforward decoder grows its own vector; it has no form that decodes
      // into a given buffer, so it is the allocating decompress_lrs that matches it
      // call for call.
      register_one("reference", [](benchmark::State& s, const LrsCase& c) {
        for (auto _ : s) {
          Bytes output = test::reference_decompress_lrs(c.lrs);
          benchmark::DoNotOptimize(output.data());
          benchmark::ClobberMemory();
          if (output.size() != c.content.size()) {
            s.SkipWithError("the reference decoder did not restore the content");
            break;
          }
        }
        finish(s, c, c.lrs.size());
      });
      register_one("zlib_inflate", [](benchmark::State& s, const LrsCase& c) {
        Inflater inflater;
        run_into(s, c, c.zlib, c.content.size(),
                 [&inflater](auto in, auto out) { return inflater.run(in, out); });
      });
      register_one("lz4_decompress_safe", [](benchmark::State& s, const LrsCase& c) {
        run_into(s, c, c.lz4, c.content.size(),
                 [](auto in, auto out) { return lz4_decompress(in, out); });
      });
    }
  }
  return true;
}();

}  // namespace
}  // namespace marrowvane_dat::bench
