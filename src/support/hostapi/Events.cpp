#include "support/hostapi/Events.h"

namespace libmarl {

TEvent::TEvent() : TEvent(0) {}
TEvent::TEvent(int code) : code_(code) {}
TEvent::TEvent(const TEvent& other) = default;
TEvent& TEvent::operator=(const TEvent& other) = default;
TEvent::~TEvent() = default;
int TEvent::getCode() const { return code_; }

TEventsSender::TEventsSender() = default;
TEventsSender::TEventsSender(const TEventsSender&) {}
TEventsSender& TEventsSender::operator=(const TEventsSender&) { return *this; }
TEventsSender::~TEventsSender() = default;

void TEventsSender::sendEvent(TEventsHandler& handler, const TEvent& event) const
{
    handler.handleEvent(event);
}

TEventsHandler::TEventsHandler() = default;
TEventsHandler::TEventsHandler(const TEventsHandler& other) : TEventsSender(other) {}
TEventsHandler& TEventsHandler::operator=(const TEventsHandler&) { return *this; }
TEventsHandler::~TEventsHandler() = default;

}  // namespace libmarl
