// A C++ host driving two heads at once through include/ptz.hpp.
//   cpp_host HOST PORT1 PORT2
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ptz.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: cpp_host HOST PORT1 PORT2\n");
        return 2;
    }
    try {
        ptz::Link left = ptz::Link::lan(argv[1], std::atoi(argv[2]));
        ptz::Link right = ptz::Link::lan(argv[1], std::atoi(argv[3]));
        // Each head on its own thread: the links do not wait for each other.
        std::thread a([&] { left.set_pt_pos(1, 1000, -500); });
        std::thread b([&] { right.set_pt_pos(1, -2000, 700); });
        a.join();
        b.join();
        const auto [leftPan, leftTilt] = left.pt_pos();
        const auto [rightPan, rightTilt] = right.pt_pos();
        std::printf("left: pan %d, tilt %d\n", leftPan, leftTilt);
        std::printf("right: pan %d, tilt %d\n", rightPan, rightTilt);
        try {
            right.move_preset(9);  // never stored: the head refuses
        } catch (const ptz::Error& e) {
            std::printf("refused: kind %d, code %d: %s\n", e.kind(), e.code(), e.what());
        }
        try {
            right.motor_speed(1);  // only motors 0 and 4 have a speed to read
        } catch (const ptz::Error& e) {
            std::printf("rejected: result %d\n", e.result());
        }
    } catch (const ptz::Error& e) {
        std::fprintf(stderr, "cpp_host: %s\n", e.what());
        return 1;
    }
    return 0;
}
