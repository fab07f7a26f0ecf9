// Process-wide caches of Python objects, filled once.
//
// A thread that must fill or wait for a cache detaches from the interpreter
// before it takes the guard and re-attaches before it runs the initialiser,
// so a thread holding the interpreter never blocks on a guard held by a
// thread that is waiting for the interpreter.  Once filled, the object is
// kept (never released) until the process ends.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace lumora {

class ProcessCache {
public:
    // Returns a borrowed reference to the cached object, running `init`
    // (which returns a new reference, or null with an exception set) on
    // first need.  A failed initialiser leaves the cache empty.
    template <class Init>
    PyObject* get(Init&& init) {
        // acquire; pairs with the release store below.
        if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
        PyThreadState* state = PyEval_SaveThread();
        std::lock_guard lock(guard_);
        PyEval_RestoreThread(state);
        // relaxed: a store made under guard_ is visible once guard_ is held.
        if (PyObject* object = object_.load(std::memory_order_relaxed)) return object;
        PyObject* object = init();
        // release; pairs with the acquire load of the fast path.
        if (object != nullptr) object_.store(object, std::memory_order_release);
        return object;
    }

private:
    std::atomic<PyObject*> object_{nullptr};  // written once under guard_, read by any thread
    std::mutex guard_;                        // serialises the initialisers
};

}  // namespace lumora
