// Letting other threads run while C++ code works for a long time.
//
// GilReleased gives the interpreter up (the GIL, or on a free-threaded build
// this thread's attachment, so that a collection another thread starts need
// not wait) around work that touches no Python object; its checkpoint takes
// it back now and then to run signal handlers. Turns lets a long stretch of
// work that holds the interpreter hand it to a waiting thread at a steady
// pace, as the interpreter's own loop does between bytecodes.
#pragma once

#include <Python.h>

#include <chrono>

#include "python/py_failure.hpp"

namespace quillet {

class GilReleased {
 public:
  // How long work runs between two looks at pending signals: well within
  // the half second a Ctrl-C may take, and long enough that waiting for the
  // interpreter to come back (up to sys.getswitchinterval(), when a thread
  // running Python code holds it) costs the work little.
  static constexpr std::chrono::milliseconds kSignalInterval{50};

  GilReleased() noexcept : state_(PyEval_SaveThread()), next_(Clock::now() + kSignalInterval) {}
  ~GilReleased() {
    if (state_) PyEval_RestoreThread(state_);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  // Takes the interpreter back for good, before Python objects are touched.
  void end() noexcept {
    if (state_) PyEval_RestoreThread(state_);
    state_ = nullptr;
  }

  // A fast::Checkpoint hook (`self` is the GilReleased): once every
  // kSignalInterval, runs the handlers of pending signals with the
  // interpreter held. One that raises ends the work with PythonErrorSet,
  // the interpreter held and its exception set.
  static void checkpoint(void* self) {
    auto& released = *static_cast<GilReleased*>(self);
    const Clock::time_point now = Clock::now();
    if (now < released.next_) return;
    released.next_ = now + kSignalInterval;
    released.end();
    if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
    released.state_ = PyEval_SaveThread();
  }

 private:
  using Clock = std::chrono::steady_clock;
  PyThreadState* state_;
  Clock::time_point next_;
};

class Turns {
 public:
  // How long the work holds the interpreter before a waiting thread may
  // take it: sys.getswitchinterval()'s default.
  static constexpr std::chrono::milliseconds kTurn{5};

  Turns() noexcept : next_(Clock::now() + kTurn) {}

  // Called now and then with the interpreter held and no half-made object
  // in reach of other threads: once a turn is over, gives the interpreter
  // to any thread waiting for it and takes it back.
  void offer() noexcept {
    const Clock::time_point now = Clock::now();
    if (now < next_) return;
    Py_BEGIN_ALLOW_THREADS;
    Py_END_ALLOW_THREADS;
    next_ = Clock::now() + kTurn;
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point next_;
};

}  // namespace quillet
