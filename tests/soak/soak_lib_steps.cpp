#include "soak_lib_steps.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <stdexcept>

namespace soak {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      // Bytes past ASCII too: a detail may quote any bytes of a file, and
      // the line must stay valid JSON whatever they are.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string to_json(const Step& step) {
  std::string out = "{\"op\": " + json_string(step.op());
  for (const auto& [key, value] : step.strings)
    if (key != "op") out += ", " + json_string(key) + ": " + json_string(value);
  for (const auto& [key, value] : step.numbers)
    out += ", " + json_string(key) + ": " + std::to_string(value);
  return out + "}";
}

namespace {

struct Reader {
  const std::string& line;
  std::size_t at = 0;
  void space() {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r' || line[at] == '\n'))
      ++at;
  }
  bool take(char c) {
    space();
    if (at < line.size() && line[at] == c) return ++at, true;
    return false;
  }
  bool string(std::string& out) {
    if (!take('"')) return false;
    out.clear();
    while (at < line.size() && line[at] != '"') {
      char c = line[at++];
      if (c == '\\' && at < line.size()) {
        c = line[at++];
        if (c == 'u' && at + 4 <= line.size()) {
          c = static_cast<char>(std::stoul(line.substr(at, 4), nullptr, 16));
          at += 4;
        } else if (c == 'n') {
          c = '\n';
        } else if (c == 't') {
          c = '\t';
        } else if (c == 'r') {
          c = '\r';
        }
      }
      out += c;
    }
    return take('"');
  }
};

} // namespace

bool from_json(const std::string& line, Step& step) {
  step = Step{};
  Reader in{line};
  if (!in.take('{')) return false;
  if (in.take('}')) return true;
  do {
    std::string key;
    if (!in.string(key) || !in.take(':')) return false;
    in.space();
    if (in.at < line.size() && line[in.at] == '"') {
      std::string value;
      if (!in.string(value)) return false;
      step.strings[key] = value;
    } else {
      const std::size_t from = in.at;
      while (in.at < line.size() && line[in.at] >= '0' && line[in.at] <= '9')
        ++in.at;
      if (in.at == from) return false;
      step.numbers[key] = std::stoull(line.substr(from, in.at - from));
    }
  } while (in.take(','));
  return in.take('}');
}

const char* const shapes[] = {"prose",    "crlf", "mixed_ends", "cut_ends",  "binary", "empty_lines",
                              "utf8_bad", "nul",  "many_lines", "long_line", nullptr};

std::string make_bytes(std::uint64_t seed, std::uint64_t size, const std::string& shape) {
  std::mt19937_64 rng(seed);
  auto below = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
  static const char* const words[] = {
      "alpha", "beta", "gamma", "\xc3\xa9t\xc3\xa9", "xxxxxxxxxxxxx", "GET /index.html", "200", "-"};
  static const char* const ends[] = {"\n", "\r\n", "\r", "\r\r\n", "\n\r"};
  std::string out;
  while (out.size() < size) {
    if (shape == "prose" || shape == "crlf") {
      for (std::uint64_t k = below(13); k > 0; --k)
        out += std::string(words[below(8)]) + (k > 1 ? " " : "");
      out += shape == "crlf" ? "\r\n" : "\n";
    } else if (shape == "mixed_ends") {
      out += std::string(words[below(8)]) + ends[below(5)];
    } else if (shape == "cut_ends") {
      out += std::string(1 + below(3), "\r\na"[below(3)]);
    } else if (shape == "binary") {
      out += static_cast<char>(below(256));
    } else if (shape == "empty_lines") {
      out += below(2) == 0 ? "\n" : "\r\n";
    } else if (shape == "utf8_bad") {
      static const char* const bad[] = {"\xff\xfe", "\xc3", "\xed\xa0\x80", "ok"};
      out += std::string(bad[below(4)]) + (below(2) == 0 ? "\n" : "");
    } else if (shape == "nul") {
      out += std::string(1 + below(8), '\0') + (below(3) == 0 ? "\r\n" : below(2) == 0 ? "\n" : "x");
    } else if (shape == "many_lines") {
      // Short lines by the tens of thousands: blocks and pages of the index fill.
      out += std::string(below(3), 'm') + "\n";
    } else if (shape == "long_line") {
      out += std::string(size - out.size(), 'L');
      out += "\n\r\n"[below(3)];
    } else {
      throw std::invalid_argument("no shape " + shape);
    }
  }
  return shape == "long_line" ? out : out.substr(0, size);
}

namespace {

std::string gzip_member(const std::string& text, int level, std::uint64_t flush_every) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
  std::string out;
  std::uint64_t at = 0;
  for (;;) {
    const std::uint64_t piece = flush_every == 0 ? text.size() - at : std::min(flush_every, text.size() - at);
    const bool last = at + piece == text.size();
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data() + at));
    z.avail_in = static_cast<uInt>(piece);
    at += piece;
    int result = Z_OK;
    do {
      char buffer[16384];
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      result = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
      out.append(buffer, sizeof buffer - z.avail_out);
    } while (last ? result != Z_STREAM_END : z.avail_out == 0);
    if (last) break;
  }
  deflateEnd(&z);
  return out;
}

std::string zstd_frame(const std::string& text, int level) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  // Half the frames carry a checksum, as the zstd tool writes them.
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, level % 2);
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const std::size_t made = ZSTD_compress2(context, out.data(), out.size(), text.data(), text.size());
  ZSTD_freeCCtx(context);
  if (ZSTD_isError(made)) throw std::runtime_error("zstd: " + std::string(ZSTD_getErrorName(made)));
  out.resize(made);
  return out;
}

std::string xz_stream(const std::string& text, int level, std::uint64_t flush_every) {
  lzma_stream z = LZMA_STREAM_INIT;
  if (lzma_easy_encoder(&z, static_cast<std::uint32_t>(level),
                        level % 2 == 0 ? LZMA_CHECK_CRC64 : LZMA_CHECK_CRC32) != LZMA_OK)
    throw std::bad_alloc();
  std::string out;
  std::uint64_t at = 0;
  for (;;) {
    const std::uint64_t piece = flush_every == 0 ? text.size() - at : std::min(flush_every, text.size() - at);
    const bool last = at + piece == text.size();
    z.next_in = reinterpret_cast<const std::uint8_t*>(text.data() + at);
    z.avail_in = piece;
    at += piece;
    // A full flush ends the block: the next bytes begin a block of their own.
    const lzma_action action = last ? LZMA_FINISH : LZMA_FULL_FLUSH;
    lzma_ret result = LZMA_OK;
    do {
      std::uint8_t buffer[16384];
      z.next_out = buffer;
      z.avail_out = sizeof buffer;
      result = lzma_code(&z, action);
      out.append(reinterpret_cast<char*>(buffer), sizeof buffer - z.avail_out);
    } while (result == LZMA_OK);
    if (result != LZMA_STREAM_END) throw std::runtime_error("xz: " + std::to_string(result));
    if (last) break;
  }
  lzma_end(&z);
  return out;
}

} // namespace

std::string compress(const std::string& form, const std::string& text, int level, std::uint64_t flush_every) {
  if (form == "gzip") return gzip_member(text, level, flush_every);
  if (form == "zstd") return zstd_frame(text, level);
  if (form == "xz") return xz_stream(text, level % 7, flush_every);
  return text;
}

} // namespace soak
