// The spy display filter on 1 MiB blocks of the worst and the usual kinds,
// and the whole per-block path (decode, filter, pane) for blocks of a flood.
#include "spy/cp1252.h"
#include "spy/spy_filter.h"
#include "spy/spy_log.h"
#include "spy/spy_pane.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <benchmark/benchmark.h>
#include <memory>

namespace {

constexpr qsizetype kMiB = 1024 * 1024;

QByteArray filled(char c)
{
    return QByteArray(kMiB, c);
}

template <size_t N> QByteArray literal(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

// Decoder-like output: CR LF lines, NULs, backspaces and an LF CR line end.
QByteArray decoderText(qsizetype size)
{
    const QByteArray lines[] = {
        literal("QX7100 boot 1.04 (c) loader stage 2\r\n"),
        literal("flash: erase block 0x0012 ok\r\n"),
        literal("tuner: lock acquired, snr=17.4 dB\r\n"),
        literal("\0\0mem test 0x80000000..0x80ffffff ... passed\r\n"),
        literal("progress [#####     ]\b\b\b\b\b######    ]\r\n"),
        literal("ok\n\r"),
    };
    QByteArray text;
    text.reserve(size);
    for (size_t i = 0; text.size() < size; ++i)
        text += lines[i % (sizeof lines / sizeof lines[0])];
    text.truncate(size);
    return text;
}

QByteArray randomBytes()
{
    QRandomGenerator random(99);
    QByteArray bytes(kMiB, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

void filterBlock(benchmark::State &state, const QByteArray &raw)
{
    const QString block = cp1252::decode(raw);
    for (auto _ : state) {
        SpyFilterResult r = filterSpyBlock(block);
        benchmark::DoNotOptimize(r.text.constData());
    }
    state.SetBytesProcessed(state.iterations() * raw.size());
}

void BM_FilterBackspaces(benchmark::State &state)
{
    filterBlock(state, filled('\b'));
}
void BM_FilterNuls(benchmark::State &state)
{
    filterBlock(state, filled('\0'));
}
void BM_FilterLineFeeds(benchmark::State &state)
{
    filterBlock(state, filled('\n'));
}
void BM_FilterCarriageReturns(benchmark::State &state)
{
    filterBlock(state, filled('\r'));
}
void BM_FilterCrLfText(benchmark::State &state)
{
    filterBlock(state, decoderText(kMiB));
}
void BM_FilterRandomBytes(benchmark::State &state)
{
    filterBlock(state, randomBytes());
}

void BM_DecodeAndFilterRandomBytes(benchmark::State &state)
{
    const QByteArray raw = randomBytes();
    for (auto _ : state) {
        SpyFilterResult r = filterSpyBlock(cp1252::decode(raw));
        benchmark::DoNotOptimize(r.text.constData());
    }
    state.SetBytesProcessed(state.iterations() * raw.size());
}

// One received block through decode, measure, trim, filter, leading
// backspaces, caret and insertion into a shown pane, then one turn of the
// event loop (layout and painting).
void BM_PaneBlock(benchmark::State &state)
{
    const QByteArray raw = decoderText(state.range(0));
    QPlainTextEdit edit;
    edit.resize(640, 480);
    edit.show();
    SpyPane pane(&edit);
    SpyLog log;
    const auto fail = [&state](const QString &description) { state.SkipWithError(qPrintable(description)); };
    for (auto _ : state) {
        QString block = cp1252::decode(raw);
        appendSpyBlock(pane, log, block, fail);
        pane.refresh();
        QCoreApplication::processEvents();
    }
    state.SetBytesProcessed(state.iterations() * raw.size());
    state.counters["pane_chars"] = pane.length();
}

}  // namespace

BENCHMARK(BM_FilterBackspaces);
BENCHMARK(BM_FilterNuls);
BENCHMARK(BM_FilterLineFeeds);
BENCHMARK(BM_FilterCarriageReturns);
BENCHMARK(BM_FilterCrLfText);
BENCHMARK(BM_FilterRandomBytes);
BENCHMARK(BM_DecodeAndFilterRandomBytes);
BENCHMARK(BM_PaneBlock)->Arg(4 * 1024)->Arg(64 * 1024)->Arg(256 * 1024)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
