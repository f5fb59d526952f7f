// --exec-on-event: a command run for every change of an event (opened,
// escalated, closed).
//
// The command is the user's own text, run as `/bin/sh -c COMMAND`; the event
// never becomes part of a command line. It is data: one JSON line on the
// command's standard input, and in the environment LUMAQC_EVENT (open,
// escalate or close), LUMAQC_EVENT_TYPE and LUMAQC_EVENT_SEVERITY, whose values are
// names of the events' fixed vocabulary.
//
// Commands run one at a time, in event order, on a thread of their own, so
// a slow command never holds up the analysis. Up to 100 opened or escalated
// events wait their turn; more are dropped, each drop counted (dropped())
// and reported on the error stream at once (at most a line every 5 s). A
// close always waits its turn, unless the open it closes was dropped, so no
// event is seen closed before it was seen open and none is left open. The
// line is written to the command without blocking and is at most
// kMaxEventLine bytes: a command that never reads its input is ended like
// any other. A command still running after 30 s is ended (SIGTERM to its
// process group, SIGKILL 2 s later). Its standard output goes to lumaqc's
// error stream, so the console table stays clean; a command that fails is
// reported there.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "live/events.h"

namespace lumaqc {

class ExecHook : public EventSubscriber {
  public:
    explicit ExecHook(std::string command, double timeoutSeconds = 30.0);
    ~ExecHook() override;
    ExecHook(const ExecHook&) = delete;
    ExecHook& operator=(const ExecHook&) = delete;

    void onEvent(const LiveEvent& event) override;
    // Lets the queued commands run for at most `seconds` more, then ends
    // the one running and drops the rest.
    void finish(double seconds);
    // Events not handed to the command so far.
    long dropped() const;

  private:
    void work();
    void run(const LiveEvent& event);
    void drop(const LiveEvent& event);

    std::string command_;
    double timeout_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<LiveEvent> queue_;
    size_t opens_ = 0;                   // opens and escalations in the queue
    std::set<std::string> droppedOpen_;  // types whose open was dropped: their close goes too
    bool finishing_ = false;
    bool running_ = false;
    bool abandon_ = false;
    long dropped_ = 0;
    long droppedTold_ = 0;
    double lastTold_ = -1e9;
    std::thread worker_;
};

}  // namespace lumaqc
