// Whitespace normalisation of a text, for diffs that ignore whitespace.
#include "linesift/internal.h"

namespace linesift_detail {

int64_t fix_whitespace(const char* in, int64_t n, bool all_ws,
                       char* out) noexcept
{
    int64_t w = 0;
    for (int64_t i = 0; i < n; ++i) {
        const char c = in[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!all_ws && !(w > 0 && out[w - 1] == ' '))
                out[w++] = ' ';
        } else if (c == '\n' && !all_ws && w > 0 && out[w - 1] == ' ') {
            out[w - 1] = '\n';
        } else {
            out[w++] = c;
        }
    }
    return w;
}

}  // namespace linesift_detail
