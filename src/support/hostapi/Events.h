// Events, and the classes that send and handle them. Delivery is a plain call on the sending
// thread: a handler that hands events to another thread keeps a clone().
#pragma once

#include <memory>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API TEvent {
public:
    virtual ~TEvent();

    int getCode() const;
    // A copy of the whole event, the derived part included, for a handler that keeps the event
    // after the call that delivered it.
    virtual std::unique_ptr<TEvent> clone() const = 0;

protected:
    TEvent();  // code 0
    explicit TEvent(int code);
    TEvent(const TEvent& other);
    TEvent& operator=(const TEvent& other);

private:
    int code_;
};

class TEventsHandler;

class QUILLON_API TEventsSender {
public:
    TEventsSender();
    // There is no state to copy: copies only share the behaviour.
    TEventsSender(const TEventsSender& other);
    TEventsSender& operator=(const TEventsSender& other);
    virtual ~TEventsSender();

protected:
    // Hands the event to the handler, on the calling thread.
    void sendEvent(TEventsHandler& handler, const TEvent& event) const;
};

// A handler is a sender as well, so that it can pass events on.
class QUILLON_API TEventsHandler : public TEventsSender {
public:
    ~TEventsHandler() override;

    virtual void handleEvent(const TEvent& event) = 0;

protected:
    TEventsHandler();
    TEventsHandler(const TEventsHandler& other);
    TEventsHandler& operator=(const TEventsHandler& other);
};

}  // namespace libmarl
