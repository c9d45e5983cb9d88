// The binding that commands use while the presence monitor may replace it.
#pragma once

#include <exception>
#include <functional>
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
// on either the old or the new binding, never on a half-built or freed one. A call
// that fails is reported to the failure hook, which looks at once whether the
// softphone behind the binding is gone.
class CBoundSoftphone {
  public:
    class Use {
      public:
        Use(std::shared_ptr<CSoftphoneBinding> binding, const std::function<void()>* onFailedCall)
            : m_binding(std::move(binding)),
              m_onFailedCall(onFailedCall),
              m_exceptions(std::uncaught_exceptions()) {}
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        // Runs at the end of the command's call expression; a failure raised by the
        // call is on its way out then.
        ~Use() {
            if (std::uncaught_exceptions() <= m_exceptions || !m_binding || !m_onFailedCall ||
                !*m_onFailedCall)
                return;
            try {
                (*m_onFailedCall)();
            } catch (...) {
                // The failure itself is what the command reports.
            }
        }
        ISoftphone* operator->() const {
            // Dropped between the binding test and the call: the softphone went
            // away, as a call to a vanished softphone reports it.
            if (!m_binding || !m_binding->softphone) throw CAutomationError(kStatusUnavailable, "", "");
            return m_binding->softphone.get();
        }

      private:
        std::shared_ptr<CSoftphoneBinding> m_binding;
        const std::function<void()>* m_onFailedCall;
        int m_exceptions;
    };

    Use operator->() const { return Use(Get(), &m_onFailedCall); }
    explicit operator bool() const { return Get() != nullptr; }

    // Set once, before any command or other thread uses this object.
    void SetFailedCallHook(std::function<void()> hook) { m_onFailedCall = std::move(hook); }

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
    std::function<void()> m_onFailedCall;
};

}  // namespace quvo::link
