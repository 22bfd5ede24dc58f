// Replaced by the HID controller.
