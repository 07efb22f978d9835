#pragma once
// Binds the desktop window to the real engine. Header only, so the window library itself does
// not need the engine to link.
#include "engine/Engine.h"
#include "qt/EngineHooks.h"

namespace qtx {

class EngineBinding : public EngineHooks {
  public:
    explicit EngineBinding(Engine& engine) : engine_(engine) {}
    void Form_Load() override { engine_.Form_Load(); }
    bool Form_QueryUnload() override { return engine_.Form_QueryUnload(); }
    void Form_Unload() override { engine_.Form_Unload(); }
    void Form_Terminate() override { engine_.Form_Terminate(); }
    bool ApplySetup(bool startMinimized, const std::string& taskViewText) override {
        return engine_.ApplySetup(startMinimized, taskViewText);
    }
    bool Busy() const override { return engine_.Busy(); }
    Variables& Vars() override { return engine_.Vars(); }

  private:
    Engine& engine_;
};

}  // namespace qtx
