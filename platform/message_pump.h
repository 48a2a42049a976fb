// A modal message loop that offers every event of the GUI thread to a handler before delivery.
#pragma once

#include <functional>

#include "message.h"

enum class MessageVerdict {
  kDeliver,     // not claimed: the event goes to its receiver as usual
  kClaim,       // claimed: the event is not delivered
  kClaimAndEnd  // claimed, and the loop ends
};

enum class PumpEnd {
  kEnded,         // the handler ended the loop
  kQuitRequested  // the application was asked to quit; the request stands and is carried out
                  // by the application's own loop once the caller has returned to it (Qt drops a
                  // pending request whenever a loop is entered, so it is posted again only when
                  // this loop has ended)
};

// Runs a nested event loop of the application until offer ends it or the application is asked to
// quit. Every event delivered on the GUI thread meanwhile is offered first, except the request to
// quit and events that arrive while offer itself runs. An exception thrown by offer ends the loop
// and is thrown from here; none crosses the event loop. Needs a QCoreApplication.
PumpEnd PumpMessages(const std::function<MessageVerdict(MSG& message)>& offer);
