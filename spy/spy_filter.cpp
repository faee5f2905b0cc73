#include "spy/spy_filter.h"

#include <utility>

namespace {
constexpr char16_t kNul = 0;
constexpr char16_t kBackspace = 8;
}  // namespace

// Run literally, the passes restart their search at the start of the block
// after every change, which is quadratic. The same text comes from two sweeps: NULs and backspaces
// work as a stack (a backspace pops the character before it, or counts as
// leading when nothing is left before it), then line feeds go and carriage
// returns grow a line feed.
SpyFilterResult filterSpyBlock(QStringView block)
{
    SpyFilterResult result;
    const qsizetype n = block.size();
    const char16_t *in = block.utf16();

    QString kept(n, Qt::Uninitialized);
    char16_t *stack = reinterpret_cast<char16_t *>(kept.data());
    qsizetype top = 0;
    qsizetype leading = 0;
    qsizetype carriageReturns = 0;
    qsizetype lineFeeds = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = in[i];
        if (c > kCarriageReturn) {
            stack[top++] = c;
            continue;
        }
        switch (c) {
        case kNul:
            break;
        case kBackspace:
            if (top == 0) {
                ++leading;
                break;
            }
            --top;
            carriageReturns -= stack[top] == kCarriageReturn;
            lineFeeds -= stack[top] == kLineFeed;
            break;
        default:
            carriageReturns += c == kCarriageReturn;
            lineFeeds += c == kLineFeed;
            stack[top++] = c;
            break;
        }
    }
    result.leadingBackspaces = leading;

    if (carriageReturns == 0 && lineFeeds == 0) {
        kept.truncate(top);
        result.text = std::move(kept);
        return result;
    }

    QString text(top - lineFeeds + carriageReturns, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    for (qsizetype i = 0; i < top; ++i) {
        const char16_t c = stack[i];
        if (c == kLineFeed)
            continue;
        *out++ = c;
        if (c == kCarriageReturn)
            *out++ = kLineFeed;
    }
    result.text = std::move(text);
    return result;
}
