// Entry point; filled in with the server.
int main() { return 0; }
