// updater_standin.cpp - the main updater for the benchmark's typical run: a compiled program
// that does nothing, so that a run's time is the program's own and one start of the updater.
int main() {
    return 0;
}
