// Factory test program: entry point.
#include "station/station.h"

int main(int argc, char **argv) {
    return station_main(argc, argv);
}
