// A program that drives the only emulated unit through plain libusb, for tests that end such programs, killed or
// not. It claims the unit's interface, writes one byte to the descriptor named by READY_FD, then:
//   unit_client READY_FD hold       submits one bulk transfer and waits forever (the unit holds the transfer)
//   unit_client READY_FD read       reads the EEPROM back to back, forever
//   unit_client READY_FD send BYTE  sends three 320-byte frames of BYTE, gives the unit back and ends (exit 0)
// Exit codes 10 to 14: libusb, open, claim, submit or send failed.
#include <libusb.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const int ready = std::atoi(argv[1]);
    const std::string mode = argv[2];
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 10;
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x1781, 0x0ED8);
    if (h == nullptr) return 11;
    if (libusb_claim_interface(h, 0) != 0) return 12;
    static unsigned char frame[320];
    if (mode == "hold") {
        libusb_transfer* t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t, h, 0x02, frame, sizeof frame, [](libusb_transfer*) {}, nullptr, 0);
        if (libusb_submit_transfer(t) != 0) return 13;
        (void)!write(ready, "r", 1);
        for (;;) pause();
    }
    if (mode == "read") {
        (void)!write(ready, "r", 1);
        for (;;) {
            unsigned char block[64];
            libusb_control_transfer(h, 0xC0, 0xF2, 0, 0, block, sizeof block, 2000);
        }
    }
    if (mode == "send" && argc == 4) {
        (void)!write(ready, "r", 1);
        std::memset(frame, std::atoi(argv[3]), sizeof frame);
        for (int i = 0; i < 3; ++i) {
            int done = 0;
            if (libusb_bulk_transfer(h, 0x02, frame, sizeof frame, &done, 2000) != 0 || done != 320) return 14;
        }
        libusb_release_interface(h, 0);
        libusb_close(h);
        libusb_exit(ctx);
        return 0;
    }
    return 2;
}
