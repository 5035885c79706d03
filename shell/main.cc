// STUB (spine helper replaces)
int main() { return 0; }
