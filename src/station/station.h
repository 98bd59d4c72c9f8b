// Station control: start-up, the entry window and the hand-off to the normal
// application.
#pragma once

// The hand-off: stops the worker threads, releases the devices, gives the keys
// back and runs the finish script through the shell.
void normal_game_mode(const char *sh);

// Runs the whole program: the argument check, start-up, the entry window, the
// information screen and the MP test when an entry is chosen, the hand-off.
int station_main(int argc, char **argv);
