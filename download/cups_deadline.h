#pragma once
// The deadline of a request to the print server, shared by the default
// printer's query and the job operations: libcups calls back while it waits
// for an answer, and the callback keeps it waiting only until the deadline.

#include <QDeadlineTimer>

#include <cups/cups.h>

// The longest pause accepted inside an answer of the server, and the longest
// single wait before the deadline is looked at again. libcups spends up to a
// second after a request before its own wait begins, so 2 s keep a deadline of 3 s.
constexpr qint64 AnswerPauseMs = 2000;

inline int untilDeadline(http_t *http, void *data);

// Lets libcups wait for the server until deadline, and no longer, in waits of
// what is left, up to AnswerPauseMs. libcups takes that wait also as the longest
// pause it accepts inside an answer (its reader of IPP answers does not ask the
// callback), so it must never be a short polling interval: that fails the answer
// of a busy server that comes in parts, after the server has acted on the
// request. Once the deadline has passed, every further wait (libcups reads on
// after a failed request, to leave the connection clean) is cut to nothing.
// Call it before each request; deadline must outlive the requests.
inline void waitUntil(http_t *http, QDeadlineTimer &deadline)
{
    const qint64 left = deadline.isForever() ? AnswerPauseMs : qMin(AnswerPauseMs, deadline.remainingTime());
    // libcups turns a wait below one millisecond into a minute.
    httpSetTimeout(http, double(qMax<qint64>(2, left)) / 1000.0, untilDeadline, &deadline);
}

// Called by libcups at the end of each wait without data: waits on while the
// deadline at data (a QDeadlineTimer) is ahead, each next wait cut to what is left.
inline int untilDeadline(http_t *http, void *data)
{
    auto &deadline = *static_cast<QDeadlineTimer *>(data);
    waitUntil(http, deadline);
    return deadline.hasExpired() ? 0 : 1;
}
