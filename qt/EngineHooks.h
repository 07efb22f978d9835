#pragma once
// What the desktop window asks of the engine: the main window's engine handlers and the Setup
// window's store. The window holds no engine logic of its own; it forwards to these.
#include <string>

#include "common/Variables.h"

namespace qtx {

class EngineHooks {
  public:
    virtual ~EngineHooks() = default;
    virtual void Form_Load() = 0;
    // True when the operator cancelled the exit.
    virtual bool Form_QueryUnload() = 0;
    virtual void Form_Unload() = 0;
    virtual void Form_Terminate() = 0;
    // False when the store failed and the Setup window stays open.
    virtual bool ApplySetup(bool startMinimized, const std::string& taskViewText) = 0;
    // True while an event is being executed.
    virtual bool Busy() const = 0;
    virtual Variables& Vars() = 0;
};

}  // namespace qtx
