// The tarn command's exit statuses, one per kind of failure, and the one-line message and
// status of every library result code the tool meets. `tarn --help` prints the table.
#ifndef TARN_TOOLS_TARN_EXIT_STATUS_H
#define TARN_TOOLS_TARN_EXIT_STATUS_H

#include <stdexcept>
#include <string>

namespace tarn::cli {

enum class ExitStatus : int {
    ok = 0,
    failure = 1,        // unexpected failure
    usage = 2,          // bad command line
    rejected = 3,       // tarn net check: the address is not accepted
    socket = 4,         // a socket could not be opened or bound
    file = 5,           // a file could not be read or written
    setNetLink = 6,     // -1990
    getNetLink = 7,     // -1989
    setNetCommand = 8,  // -1988
    getNetCommand = 9,  // -1987
    noData = 10,        // no frame arrived, or a recording holds no measurement datagram
    output = 11,        // standard output could not be written
};

// A failure that ends a subcommand with the given status; the message is one line.
class Failure : public std::runtime_error {
  public:
    Failure(ExitStatus status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    ExitStatus status() const { return status_; }

  private:
    ExitStatus status_;
};

struct ResultMeaning {
    ExitStatus status;
    const char* message;
};

// What a library result code means for the tool; failure with "library result N" for a code
// the table lacks. Code 0 is ok.
ResultMeaning meaningOf(int resultCode);

// The exit status table of `tarn --help`.
extern const char* const kExitStatusHelp;

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_EXIT_STATUS_H
