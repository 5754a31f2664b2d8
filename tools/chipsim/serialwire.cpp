#include "serialwire.h"

#include <QSocketNotifier>

#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {
constexpr qint64 NS_PER_SECOND = 1000000000;
// Ten bit times per byte (start, eight data, stop), in nanoseconds times the speed.
constexpr qint64 BITS_NS_PER_BYTE = 10 * NS_PER_SECOND;
// Longest a byte waits after its stop bit while a long write is passed on in slices. No chip
// reacts inside one write of the host, so slices only keep a long write from arriving late
// all at once; each costs a wake-up.
constexpr qint64 SLICE_NS = 10000000;
// A timer wakes some tens of microseconds late. The end of a write is what the chip answers,
// so the wire wakes this much early for it and waits out the rest on the clock: the answer
// then leaves within a microsecond or two of the last stop bit, as a UART's interrupt would.
constexpr qint64 SPIN_NS = 30000;
}

SerialWire::SerialWire(QObject *parent)
    : QObject(parent)
{
    // A millisecond timer would add up to a millisecond to every turnaround, a third of a
    // block's wire time at 3 Mbit/s; the monotonic timer descriptor wakes within microseconds.
    timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd >= 0) {
        notifier = new QSocketNotifier(timerFd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &SerialWire::deliver);
    }
}

SerialWire::~SerialWire()
{
    delete notifier;
    if (timerFd >= 0)
        ::close(timerFd);
}

qint64 SerialWire::nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * NS_PER_SECOND + ts.tv_nsec;
}

qint64 SerialWire::endOfByte(const Run &run, int count)
{
    return run.startNs + qint64(count) * BITS_NS_PER_BYTE / run.baud;
}

void SerialWire::push(const QByteArray &bytes, int baud)
{
    if (bytes.isEmpty() || baud <= 0)
        return;
    const qint64 now = nowNs();
    const qint64 start = qMax(now, freeAtNs);
    runs.push_back({bytes, start, baud, 0});
    freeAtNs = endOfByte(runs.back(), bytes.size());
    queued += bytes.size();
    // A short answer on an idle wire (an ACK is 3.3 us at 3 Mbit/s) is waited out here: a
    // trip through the timer would cost more than the byte itself.
    if (runs.size() == 1 && freeAtNs - now <= SPIN_NS) {
        while (nowNs() < freeAtNs) {
        }
        runs.clear();
        queued = 0;
        arm();
        emit arrived(bytes, baud);
        return;
    }
    arm();
}

void SerialWire::clear()
{
    runs.clear();
    queued = 0;
    arm();
}

void SerialWire::deliver()
{
    uint64_t expirations = 0;
    if (::read(timerFd, &expirations, sizeof expirations) > 0)
        armedNs = 0;
    if (runs.empty())
        return;
    qint64 now = nowNs();
    if (!runs.empty()) {
        const qint64 end = endOfByte(runs.front(), runs.front().bytes.size());
        while (now < end && end - now <= SPIN_NS)
            now = nowNs();
    }
    while (!runs.empty()) {
        Run &run = runs.front();
        int ready = run.bytes.size();
        if (now < endOfByte(run, ready))
            ready = now <= run.startNs ? 0 : int((now - run.startNs) * run.baud / BITS_NS_PER_BYTE);
        if (ready <= run.done)
            break;
        const QByteArray bytes = run.bytes.mid(run.done, ready - run.done);
        const int baud = run.baud;
        const bool whole = ready == run.bytes.size();
        run.done = ready;
        queued -= bytes.size();
        if (whole)
            runs.pop_front();
        // The receiver may clear the wire or put more on it.
        emit arrived(bytes, baud);
        if (!whole)
            break;
    }
    arm();
}

void SerialWire::arm()
{
    if (timerFd < 0)
        return;
    qint64 wake = 0;
    if (!runs.empty()) {
        const Run &run = runs.front();
        const qint64 end = endOfByte(run, run.bytes.size());
        const qint64 slice = endOfByte(run, run.done + 1) + SLICE_NS;
        // Zero would disarm the timer; a moment already past fires at once.
        wake = qMax<qint64>(slice < end ? slice : end - SPIN_NS, 1);
    }
    // Every system call counts on a busy line: a timer already set so is left alone.
    if (wake == armedNs)
        return;
    armedNs = wake;
    itimerspec when{};
    when.it_value.tv_sec = time_t(wake / NS_PER_SECOND);
    when.it_value.tv_nsec = long(wake % NS_PER_SECOND);
    ::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
}
