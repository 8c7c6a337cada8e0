// A shared library that is no applet: it exports no CPlApplet.
extern "C" __attribute__((visibility("default"))) int not_an_applet() { return 42; }
