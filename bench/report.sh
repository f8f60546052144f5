# report JSON... : the medians and means of hyperfine's JSON exports, with
# their spread, then the ratios of medians named on standard input, one
# "a/b" a line. Sourced by the comparison scripts.
report() { # JSON... then ratios as pairs on standard input
  local pairs
  pairs=$(cat)
  cat "$@" | awk -v pairs="$pairs" '
    /"command":/ { split($0, q, "\""); name = q[4] }
    /"mean":/ { gsub(/[,]/, ""); mean[name] = $2 }
    /"stddev":/ { gsub(/[,]/, ""); sd[name] = $2 }
    /"median":/ { gsub(/[,]/, ""); median[name] = $2; order[++n] = name }
    END {
      printf "%-18s %10s %10s %8s\n", "command", "median ms", "mean ms", "sigma"
      for (i = 1; i <= n; ++i) {
        c = order[i]
        printf "%-18s %10.2f %10.2f %7.1f%%\n", c, median[c] * 1000, mean[c] * 1000, sd[c] / mean[c] * 100
      }
      print "ratios of medians:"
      m = split(pairs, p, "\n")
      for (i = 1; i <= m; ++i) {
        if (split(p[i], ab, "/") != 2) continue
        printf "  %-18s / %-18s %7.4f\n", ab[1], ab[2], median[ab[1]] / median[ab[2]]
      }
    }'
}
