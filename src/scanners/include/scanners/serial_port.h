// The scanner's data port (/dev/ttyUSB<n> or any path given): raw, reads
// that return as soon as a byte has arrived.
#pragma once

#include "scanners/serial_line.h"

#include <termios.h>

#include <optional>

// The open data port; -1 until the first init_com. init_com stores whatever
// OpenSerialPort returned, a failure included.
extern int SerialHandle;

// Whether the input that the device has queued but not delivered is thrown
// away when the settings are applied. Only the first open of the service
// discards: a reopen between scans must keep bytes that are already waiting.
enum class PendingInput { Discard, Keep };

// Opens /dev/ttyUSB<n> (n from 0 to 6) for reading and writing, without
// making it the controlling terminal, and hands it back in blocking mode.
// Returns the descriptor, or -1.
int OpenSerialPort(int n);
// The same for any device path.
int OpenSerialPort(const char* device);

// The device's settings changed to raw mode and the given speed, character
// size, parity and stop bits, with reads that return after one byte. Bits
// not named here keep the device's values.
termios comSettings(const termios& device, int baud, int dataBits, char parity, int stopBits);

// comSettings for a line given by the command line, and its flow control
// (none clears the device's). Seven data bits also strip the eighth bit,
// which an adapter that cannot frame seven bits hands over as parity.
termios lineSettings(const termios& device, const SerialLine& line);

// The line an open port runs at, as its driver reports it (baud 0: a
// speed outside the table); nothing when the descriptor is no terminal.
// A driver that cannot run part of a line keeps its own for that part,
// and tcsetattr still succeeds.
std::optional<SerialLine> lineOfPort(int fd);

// Raw mode, speed, character size, parity and stop bits on an open
// descriptor; reads return as soon as one byte has arrived. 0 or -1.
int set_com_config(int fd, int baud, int dataBits, char parity, int stopBits,
                   PendingInput pending = PendingInput::Discard);
int set_com_config(int fd, const SerialLine& line, PendingInput pending);

// OpenSerialPort followed by set_com_config; the descriptor goes to
// SerialHandle. On a configuration failure the new descriptor is closed.
// 0 or -1.
int init_com(int n, int baud, int dataBits, char parity, int stopBits,
             PendingInput pending = PendingInput::Discard);
int init_com(const char* device, int baud, int dataBits, char parity, int stopBits,
             PendingInput pending = PendingInput::Discard);
int init_com(const char* device, const SerialLine& line, PendingInput pending = PendingInput::Discard);

// The same for another serial scanner than the service's first, leaving
// SerialHandle alone. The descriptor, or -1.
int openOtherSerialPort(const char* device, const SerialLine& line, PendingInput pending);
