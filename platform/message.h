// The record of one message of the GUI thread: an event on its way to its receiver.
#pragma once

class QEvent;
class QObject;

struct MSG {
  QObject* receiver = nullptr;
  QEvent* event = nullptr;
};
