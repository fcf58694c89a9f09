#include "tools/tarn/exit_status.h"

#include "KESOApi.h"

namespace tarn::cli {
namespace {

struct ResultEntry {
    int code;
    ResultMeaning meaning;
};

constexpr ResultEntry kResults[] = {
    {KESO_OK, {ExitStatus::ok, "done"}},
    {KESO_ERR_SET_NET_LINK,
     {ExitStatus::setNetLink,
      "no control connection: nothing answered on port 6501 in time, or the connection was "
      "refused (-1990)"}},
    {KESO_ERR_GET_NET_LINK,
     {ExitStatus::getNetLink,
      "no control connection: nothing answered on port 6501 in time, or the connection was "
      "refused (-1989)"}},
    {KESO_ERR_SET_NET_COMMAND,
     {ExitStatus::setNetCommand,
      "the sensor did not confirm the new settings: refused, or no valid reply (-1988)"}},
    {KESO_ERR_GET_NET_COMMAND,
     {ExitStatus::getNetCommand,
      "the settings were not read: refused, no valid reply, or not 44 bytes (-1987)"}},
};

}  // namespace

const char* const kExitStatusHelp = R"(Exit status:
  0  success
  1  unexpected failure
  2  bad command line (the message names the option)
  3  tarn net check: the address is not accepted
  4  a socket could not be opened or bound (address or port in use, not a local address)
  5  a file could not be read or written
  6  tarn net set: no control connection (library result -1990)
  7  tarn net get: no control connection (library result -1989)
  8  tarn net set: the sensor did not confirm the new settings (library result -1988)
  9  tarn net get: the settings were not read (library result -1987)
 10  no frame arrived (tarn stream, tarn record), or the recording holds no measurement
     datagram (tarn info, tarn export, tarn replay)
 11  standard output could not be written (closed, a closed pipe, a full disk); a command
     that runs until stopped ends at its next line, with its recording finished
)";

ResultMeaning meaningOf(int resultCode) {
    for (const ResultEntry& entry : kResults) {
        if (entry.code == resultCode) {
            return entry.meaning;
        }
    }
    return {ExitStatus::failure, "unexpected library result"};
}

}  // namespace tarn::cli
