#include "lines/options.h"

#include <getopt.h>

#include <limits>

namespace lines {

const char usage_text[] = R"(Usage: lines [OPTION]... FILE [RANGE]...
  or:  lines --count|--summary [OPTION]... FILE...
Print lines of FILE by their numbers, at once however large FILE is, from an
index of its lines that is saved for the next time.

  RANGE             N, N-M, or N- (to the end); lines are numbered from 1;
                    several ranges are printed in the order given
  -t, --tail=K      print the last K lines
  -n, --number      print each line after its number, right-aligned in 6
                    columns and a tab, as cat -n does
  -c, --count       print the number of lines only; of several FILEs, each
                    with its name and a total, as wc -l prints them
  -s, --summary     print the bytes, the lines, the longest line and its
                    length, and the bytes the index takes; of several
                    FILEs, each after its name and then their total
      --json        print the summary as one JSON object
  -b, --offsets     print each line after its byte offset and a colon, as
                    grep -b does (of a compressed file, in its text)
      --split=N     print N parts of about equal lines, one a line: the
                    first and last line, the offset and the bytes, for xargs
      --sample=K    print K distinct lines chosen uniformly, in file order
      --seed=S      the same sample for the same S
      --crlf        only CR LF ends a line; by default LF does, and a CR
                    before it belongs to the line end
  -f, --follow      after the range (or from the end), print lines as they
                    are appended, across truncation and rotation by name
      --threads=N   index on N threads (default: one for each core)
      --no-cache    neither use nor write a saved index
      --raw         read a compressed file's bytes as lines; without it
                    gzip, zstd and xz are read by their text, and other
                    compressed forms are refused with how to read them
  -v, --verbose     say on standard error how the index was had
  -h, --help        display this help and exit
      --version     output version information and exit

With neither a RANGE nor an option, print the summary. Lines go out as FILE
has them, each with its own line end.

FILE - is standard input; it, a pipe or a FIFO is read once, in order, and
nothing is saved: its ranges must rise, and the read ends after the last.

Saved indexes live in $XDG_CACHE_HOME/line_reader (else ~/.cache/line_reader;
on Windows %LOCALAPPDATA%\line_reader), at most LINES_CACHE_LIMIT bytes in all
(default 1 GiB; a number of bytes, or with K, M or G), the ones used longest
ago removed first. When standard error is a terminal and indexing takes more
than LINES_PROGRESS_AFTER seconds (default 0.5), a progress line is drawn.

Exit status: 0 on success, 1 when a requested line lies past the end, 2 for a
usage error or a file that cannot be read.
)";

namespace {

// A decimal number of at most 64 bits; false for anything else.
bool parse_number(const std::string& text, std::uint64_t& value, bool& too_large) {
  too_large = false;
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) too_large = true;
    value = value * 10 + digit;
  }
  return true;
}

enum LongOnly {
  json_option = 256,
  crlf_option,
  threads_option,
  no_cache_option,
  raw_option,
  version_option,
  split_option,
  sample_option,
  seed_option
};

} // namespace

std::string parse_range(const char* text, Range& range) {
  const std::string whole = text;
  const std::string quoted = "'" + whole + "'";
  const std::size_t dash = whole.find('-');
  const std::string first = whole.substr(0, dash);
  const std::string last = dash == std::string::npos ? first : whole.substr(dash + 1);
  range.to_the_end = dash != std::string::npos && last.empty();
  bool too_large = false;
  bool last_too_large = false;
  if (!parse_number(first, range.first, too_large) ||
      (!range.to_the_end && !parse_number(last, range.last, last_too_large)))
    return "invalid range " + quoted + ": not N, N-M or N-";
  if (too_large || last_too_large) return "invalid range " + quoted + ": a line number past 2^64";
  if (range.to_the_end) range.last = std::numeric_limits<std::uint64_t>::max();
  if (range.first == 0 || range.last == 0) return "invalid range " + quoted + ": lines are numbered from 1";
  if (range.last < range.first) return "invalid range " + quoted + ": it ends before it starts";
  return {};
}

std::string parse_options(int argc, char** argv, Options& options) {
  static const option long_options[] = {{"tail", required_argument, nullptr, 't'},
                                        {"number", no_argument, nullptr, 'n'},
                                        {"count", no_argument, nullptr, 'c'},
                                        {"summary", no_argument, nullptr, 's'},
                                        {"json", no_argument, nullptr, json_option},
                                        {"crlf", no_argument, nullptr, crlf_option},
                                        {"follow", no_argument, nullptr, 'f'},
                                        {"threads", required_argument, nullptr, threads_option},
                                        {"no-cache", no_argument, nullptr, no_cache_option},
                                        {"raw", no_argument, nullptr, raw_option},
                                        {"verbose", no_argument, nullptr, 'v'},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, version_option},
                                        {"offsets", no_argument, nullptr, 'b'},
                                        {"split", required_argument, nullptr, split_option},
                                        {"sample", required_argument, nullptr, sample_option},
                                        {"seed", required_argument, nullptr, seed_option},
                                        {nullptr, 0, nullptr, 0}};
  opterr = 0;
  optind = 1;
  for (;;) {
    const int previous = optind;
    const int option = getopt_long(argc, argv, ":t:ncsfvhb", long_options, nullptr);
    if (option == -1) break;
    const std::string given = previous < argc ? argv[previous] : "";
    std::uint64_t value = 0;
    bool too_large = false;
    switch (option) {
    case 't':
      if (!parse_number(optarg, value, too_large) || too_large)
        return std::string("invalid number of lines '") + optarg + "'";
      options.tail = true;
      options.tail_lines = value;
      break;
    case 'n': options.number = true; break;
    case 'c': options.count = true; break;
    case 's': options.summary = true; break;
    case json_option: options.json = options.summary = true; break;
    case crlf_option: options.crlf = true; break;
    case 'f': options.follow = true; break;
    case threads_option:
      if (!parse_number(optarg, value, too_large) || too_large || value > 1024)
        return std::string("invalid number of threads '") + optarg + "'";
      options.threads = static_cast<unsigned>(value);
      break;
    case no_cache_option: options.no_cache = true; break;
    case raw_option: options.raw = true; break;
    case 'v': options.verbose = true; break;
    case 'b': options.offsets = true; break;
    case split_option:
      if (!parse_number(optarg, value, too_large) || too_large || value == 0 || value > (1u << 24))
        return std::string("invalid number of parts '") + optarg + "'";
      options.split = value;
      break;
    case sample_option:
      if (!parse_number(optarg, value, too_large) || too_large)
        return std::string("invalid number of lines '") + optarg + "'";
      options.sample = value;
      options.sampled = true;
      break;
    case seed_option:
      if (!parse_number(optarg, value, too_large) || too_large)
        return std::string("invalid seed '") + optarg + "'";
      options.seed = value;
      options.seeded = true;
      break;
    case 'h': options.help = true; return {};
    case version_option: options.version = true; return {};
    case ':':
      return optopt != 0 ? std::string("option requires an argument -- '") + static_cast<char>(optopt) + "'"
                         : "option '" + given + "' requires an argument";
    default:
      return optopt != 0 ? std::string("invalid option -- '") + static_cast<char>(optopt) + "'"
                         : "unrecognized option '" + given + "'";
    }
  }
  if (optind >= argc) return "missing file operand";
  options.file = argv[optind++];
  options.files.push_back(options.file);
  // A count or a summary takes every operand as a file.
  if ((options.count || options.summary) && optind < argc) {
    for (; optind < argc; ++optind)
      options.files.emplace_back(argv[optind]);
    options.labelled = true;
  }
  for (; optind < argc; ++optind) {
    Range range;
    if (std::string reason = parse_range(argv[optind], range); !reason.empty()) return reason;
    options.ranges.push_back(range);
  }
  const bool prints_lines = !options.ranges.empty() || options.tail;
  if ((options.count || options.summary) && (prints_lines || options.follow))
    return "--count and --summary print no lines: give no range, --tail or --follow with them";
  if (options.count && options.summary) return "--count and --summary are two answers: give one";
  if (options.tail && !options.ranges.empty()) return "--tail takes no range";
  if ((options.split != 0 || options.sampled) && (prints_lines || options.count || options.summary ||
                                                  options.follow || (options.split != 0 && options.sampled)))
    return "--split and --sample are answers of their own: give no range, --tail, --count, --summary or "
           "--follow";
  if (options.seeded && !options.sampled) return "--seed goes with --sample";
  if (options.split != 0 || options.sampled) return {};
  if (!prints_lines && !options.count && !options.follow) options.summary = true;
  return {};
}

} // namespace lines
