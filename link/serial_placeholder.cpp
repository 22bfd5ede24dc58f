// Replaced by the serial port driver.
