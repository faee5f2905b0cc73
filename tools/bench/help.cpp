// The help texts of the bench program.

#include "bench_commands.h"
#include "bench_system.h"

namespace bench {

// ---- help -------------------------------------------------------------------

void helpMain()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( COMMAND [OPTION]...
Sets up this PC as a bench for the Velantra Loader (load_qx7100).

Commands:
  check              list what the bench has and what is missing, with the
                     command that fixes each; exit status 0 only when a loading
                     can work (1: something is missing, 2: usage error)
  com1|com2 DEVICE   give the USB or PCI serial port DEVICE (e.g. /dev/ttyUSB0)
                     the number COM1 or COM2: a udev rule links it to /dev/com1
                     or /dev/com2 (root)
  lpt1|lpt2 [DEVICE] make a raw print queue on the parallel port DEVICE (default
                     /dev/lp0 or /dev/lp1, or /dev/usb/lp0 or /dev/usb/lp1 when
                     only a USB-parallel adapter is there) the default printer,
                     seen by the loader as LPT1: or LPT2: (root)
  help [COMMAND]     this text, or the help of COMMAND (also COMMAND --help)

Environment, for tests (each names a folder standing in for the system's):
  LOADER_BENCH_DEV (/dev), LOADER_BENCH_SYS (/sys), LOADER_BENCH_ETC (/etc),
  LOADER_BENCH_PROC (/proc), LOADER_BENCH_SERVERBIN (the print server's
  ServerBin, default: cups-config --serverbin), CUPS_SERVER (the print server),
  LOADER_BENCH_CUPS_TIMEOUT (seconds to wait for the print server, default 5)

See the manual page load_qx7100-bench(8).
)");
}

void helpCheck()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( check [--user NAME]
Lists, one line per item, what the bench has (OK), what may get in the way
(WARN) and what stops a loading (FAIL), with the command that fixes it:
serial ports and adapters, what COM1 and COM2 are, the user's group dialout
(the group lp is not needed: the loader prints through the print server), the print server, its parallel backend, the default printer (and the
user's own defaults that override it), its port as the loader sees it, whether
it is paused or rejecting jobs, whether its port device exists, and programs
that take serial adapters (ModemManager, harmless for an adapter whose COM rule
tells it to keep off; brltty). Root commands in the advice are given with sudo.

The user whose groups and defaults are checked is the one who ran sudo or
pkexec, else the one running this program; --user NAME names another.
Runs as any user (com1, com2, lpt1 and lpt2 need root); a user's own session is checked best by running it as
that user. Exit status: 0 a loading can work, 1 something is missing, 2 usage.
)");
}

void helpCom()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( com1|com2 DEVICE [--rules-dir DIR] [--no-trigger]
Gives the serial port DEVICE (a USB serial adapter such as /dev/ttyUSB0 or
/dev/ttyACM0, or a port of a PCI serial card) the number COM1 or COM2: writes
/etc/udev/rules.d/60-load-qx7100-com1.rules (or -com2) which links it to
/dev/com1 (/dev/com2) and tells ModemManager to leave it alone, then reloads
udev and triggers the serial devices.

A USB adapter is found by its vendor, product and serial number, so the link
follows it from socket to socket; an adapter without a serial number is found
by the USB socket it is plugged in (the link then follows the socket); so is
one whose serial number holds characters other than letters, digits, '.', '_'
and '-', or that another adapter present shares. On an
adapter with several ports the port's interface number is matched too; a PCI
card's port is found by the card's slot and the port's name.
Refuses a built-in port, a port with no UART behind it, a pseudo-terminal or
anything that is not a serial port. Replaces its own earlier rule; never a
file it did not write.

  --rules-dir DIR   write the rule into DIR instead (for tests; root is then
                    not needed unless udev is triggered)
  --no-trigger      do not reload or trigger udev
)");
}

void helpLpt()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( lpt1|lpt2 [DEVICE]
Creates or updates the raw queue qx7100-lpt1 (qx7100-lpt2) on parallel:DEVICE
and makes it the print server's default printer, enabled and accepting jobs,
with the error policy abort-job (a failed job never leaves the queue stopped).
Jobs pass through it unchanged. The loader sees the queue as LPT1: (LPT2:).

DEVICE is /dev/lp0 or /dev/usb/lp0 for LPT1, /dev/lp1 or /dev/usb/lp1 for LPT2
(the PC's or a PCIe card's parallel port, or a USB-parallel adapter). Without
DEVICE: /dev/lp0 (/dev/lp1), or /dev/usb/lp0 (/dev/usb/lp1) when only an
adapter is there. Says so when a user's own default printer (~/.cups/lpoptions,
LPDEST, PRINTER) or /etc/cups/lpoptions will still win. A queue of that name
that this program did not make is left alone.
Needs root, unless CUPS_SERVER names another print server (tests).
)");
}

}  // namespace bench
