#pragma once
// The five flash programs, one per ECU class. Each parses the whole command line itself and returns
// the process exit code.

int runCyt2Program(int argc, char* argv[]);
int runNxpProgram(int argc, char* argv[]);
int runRh850Program(int argc, char* argv[]);
int runKes2Program(int argc, char* argv[]);
int runDroProgram(int argc, char* argv[]);
