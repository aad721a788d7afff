/* Exports one function and one variable, and none of the names the loader binds. */
int zelvo_stub_function(int x) { return x + 1; }
int zelvo_stub_variable = 42;
