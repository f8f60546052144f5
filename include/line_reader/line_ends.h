// Which bytes end a line, for both owner types.
#pragma once

namespace line_reader {

// crlf: only the pair CR LF ends a line; a CR or LF alone is text.
// lf: every LF ends a line, and a CR right before it belongs to the line end.
enum class LineEnds { crlf, lf };

} // namespace line_reader
