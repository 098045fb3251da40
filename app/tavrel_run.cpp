// tavrel-run: placeholder while the headless runner is written.
int main() { return 0; }
