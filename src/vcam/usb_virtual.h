// The in-process binding of the transport's libusb table to the virtual bus.
//
// Guarantees (those of libusb that the transport relies on):
//  - completion callbacks run only inside handle_events_timeout_completed, on
//    the thread that calls it, in completion order; a callback may resubmit
//    or free its transfer;
//  - a successful cancel is followed by exactly one completion, CANCELLED
//    unless the transfer completed first; cancel of a transfer that is not in
//    flight returns NOT_FOUND;
//  - a transfer with a time-out ends TIMED_OUT once it passes, carrying the
//    bytes it received until then (actual_length);
//  - bulk IN transfers of one endpoint are served in submission order, each
//    filled until full or until the device ends it with a short packet;
//  - a halted endpoint fails every bulk transfer with STALL until clear_halt;
//  - after an unplug (or a re-enumeration after a reset), transfers in flight
//    end with NO_DEVICE and calls on the old handle return
//    LIBUSB_ERROR_NO_DEVICE;
//  - control transfers are handed to the camera when submitted; one that the
//    camera leaves unanswered stays in flight until its time-out or cancel.
#pragma once

#include "ll/usb/usb_backend.h"

namespace torvi::vcam {

const torvi::usb::Backend &usb_backend_virtual();

// Transfers in flight on a context of the virtual binding (for tests).
int usb_virtual_in_flight(libusb_context *ctx);

}  // namespace torvi::vcam
