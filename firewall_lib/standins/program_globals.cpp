// The packet-filter tools' two globals, which the program that links the table library defines.
extern "C" {
const char *program_name = "";
const char *program_version = "";
}
