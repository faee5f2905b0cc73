#pragma once
// The deadline of a request to the print server, shared by the default
// printer's query and the job operations: libcups calls back while it waits
// for an answer, and the callback keeps it waiting only until the deadline.

#include <QDeadlineTimer>

#include <cups/cups.h>

// How often libcups hands control to the deadline check while it waits for an answer.
constexpr double PollS = 0.05;

// Keeps libcups waiting for an answer until the deadline at data (a
// QDeadlineTimer) has passed: give it to httpSetTimeout() with PollS.
inline int untilDeadline(http_t *, void *data)
{
    return static_cast<const QDeadlineTimer *>(data)->hasExpired() ? 0 : 1;
}
