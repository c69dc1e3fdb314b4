// A small program that imports winmm like the service does, run by simport_test as a child
// process to check the environment variables of the simulated port. Single-threaded; it waits
// at most 100 ms for its long message.
//
//   simport_probe          prints "devices=N", then "name=<UTF-8>" for each device
//   simport_probe --send   opens device 0, sends F1 35 and a 10-byte long message, waits for
//                          it, resets, closes; prints "result=<first failing code or 0>"
#include <windows.h>
#include <mmsystem.h>

#include "platform/device_interface.h"

#include <cstring>
#include <string>

namespace {

void out(const std::string& line) {
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

std::string utf8(const wchar_t* text, int units) {
    if (units == 0) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, units, &s[0], n, nullptr, nullptr);
    }
    return s;
}

int list() {
    UINT count = midiOutGetNumDevs();
    out("devices=" + std::to_string(count));
    for (UINT i = 0; i < count; ++i) {
        MIDIOUTCAPSW caps;
        if (midiOutGetDevCapsW(i, &caps, sizeof caps) != MMSYSERR_NOERROR) {
            out("name-failed");
            continue;
        }
        int units = 0;
        while (units < MAXPNAMELEN && caps.szPname[units] != 0) {
            ++units;
        }
        ULONG size = 0;
        MMRESULT r =
            midiOutMessage(reinterpret_cast<HMIDIOUT>(static_cast<UINT_PTR>(i)),
                           DRV_QUERYDEVICEINTERFACESIZE, reinterpret_cast<DWORD_PTR>(&size), 0);
        out("name=" + utf8(caps.szPname, units) + " size=" + std::to_string(r == 0 ? size : 0));
    }
    return 0;
}

int send() {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HMIDIOUT handle = nullptr;
    MMRESULT r = midiOutOpen(&handle, 0, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT);
    UINT index = 99;
    if (r == 0)
        r = midiOutGetID(handle, &index);
    if (r == 0)
        r = timeBeginPeriod(1);
    if (r == 0)
        r = midiOutShortMsg(handle, 0x000035F1);
    char data[10] = {'\xF0', '\x7F', '\x7F', '\x01', '\x01',
                     '\x01', '\x02', '\x03', '\x04', '\xF7'};
    MIDIHDR header;
    std::memset(&header, 0, sizeof header);
    header.lpData = data;
    header.dwBufferLength = sizeof data;
    if (r == 0)
        r = midiOutPrepareHeader(handle, &header, sizeof header);
    if (r == 0)
        r = midiOutLongMsg(handle, &header, sizeof header);
    for (int i = 0;
         r == 0 && i < 100 &&
         (InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&header.dwFlags), 0, 0) &
          MHDR_DONE) == 0;
         ++i) {
        WaitForSingleObject(event, 1);
    }
    if (r == 0)
        r = midiOutUnprepareHeader(handle, &header, sizeof header);
    if (r == 0)
        r = midiOutReset(handle);
    if (r == 0)
        r = midiOutClose(handle);
    if (r == 0)
        r = timeEndPeriod(1);
    out("result=" + std::to_string(r));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--send") == 0) {
        return send();
    }
    return list();
}
