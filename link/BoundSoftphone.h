// The binding that commands use while the presence monitor may replace it.
#pragma once

#include <memory>
#include <mutex>

#include "base/AutomationError.h"
#include "base/ISoftphone.h"
#include "link/EventSink.h"

namespace quvo::link {

// One binding to one softphone process: its automation object and the event
// connection made on it. A connected sink is disconnected before the object goes;
// an abandoned one (its softphone gone) outlives the object, whose tear-down ends
// the deliveries that could still reach it.
struct CSoftphoneBinding {
    std::unique_ptr<ISoftphone> softphone;
    std::unique_ptr<CEventSink> sink;

    ~CSoftphoneBinding() {
        if (sink && sink->IsConnected()) sink.reset();
        softphone.reset();
        sink.reset();
    }
};

// Holds the current binding. A command reaches the softphone through operator->,
// which keeps the binding it took alive until the call returns, so a command runs
// on either the old or the new binding, never on a half-built or freed one.
class CBoundSoftphone {
  public:
    class Use {
      public:
        explicit Use(std::shared_ptr<CSoftphoneBinding> binding) : m_binding(std::move(binding)) {}
        ISoftphone* operator->() const {
            // Dropped between the binding test and the call: the softphone went
            // away, as a call to a vanished softphone reports it.
            if (!m_binding || !m_binding->softphone) throw CAutomationError(kStatusUnavailable, "", "");
            return m_binding->softphone.get();
        }

      private:
        std::shared_ptr<CSoftphoneBinding> m_binding;
    };

    Use operator->() const { return Use(Get()); }
    explicit operator bool() const { return Get() != nullptr; }

    std::shared_ptr<CSoftphoneBinding> Get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_binding;
    }

    // Installs binding (null: unbound) and hands back the one it replaces, so that
    // the caller can release it outside the lock.
    std::shared_ptr<CSoftphoneBinding> Exchange(std::shared_ptr<CSoftphoneBinding> binding) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_binding.swap(binding);
        return binding;
    }

  private:
    mutable std::mutex m_mutex;
    std::shared_ptr<CSoftphoneBinding> m_binding;
};

}  // namespace quvo::link
