#pragma once

// Loads the coefficient files, takes over the terminal and runs the job; the exit code.
int runProgram();
