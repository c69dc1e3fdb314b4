// The two driver messages that ask a MIDI device for its device interface path (the stable
// name a port keeps across reboots and re-plugging). They are declared in mmddk.h, which
// MinGW-w64 ships but the Windows SDK leaves to the Driver Kit, so a Visual Studio build may not
// have it; their values are fixed by the driver interface. Include after <mmsystem.h>.
#pragma once

#if defined(__has_include)
#if __has_include(<mmddk.h>)
#include <mmddk.h>
#endif
#endif

#ifndef DRV_QUERYDEVICEINTERFACE
#define DRV_QUERYDEVICEINTERFACE 0x080C  // DRV_RESERVED + 12
#endif
#ifndef DRV_QUERYDEVICEINTERFACESIZE
#define DRV_QUERYDEVICEINTERFACESIZE 0x080D  // DRV_RESERVED + 13
#endif
