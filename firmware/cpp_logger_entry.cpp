// The C++ logger (examples/cpp_logger.cpp, its main renamed cpp_logger_main
// at build time) behind the entry that logger_main.c runs, so that its image
// ends with the RAM NOR's own verdict as the C example's image does.
int cpp_logger_main();

extern "C" int spi_nor_logger_main(void) {
    return cpp_logger_main();
}
