// Start-up, entry window and hand-off.
#include "station/station.h"

#include <cstdio>

std::atomic<bool> is_entry_MP{false};
std::atomic<int> mode_type{4};
std::atomic<bool> MP_key_combination{false};

int station_main(int argc, char **argv) {
    (void)argv;
    if (argc <= 2) {
        printf("arg[1]: Application directory\n");
        printf("arg[2]: Finish script\n");
        return -1;
    }
    printf("--------------------\n");
    printf("MP test verion: %s\n", MP_VERSION);
    printf("--------------------\n");
    return 0;
}
