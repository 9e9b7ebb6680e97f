// The program entry of the model: one process of the MPI job.
#include "application/run_control_file.h"
#include "framework/program.h"

int main(int argc, char** argv) { return tolvo::RunProgram(argc, argv, tolvo::RunControlFile); }
