// Every AT answer of the modem query: the text an exchange collects (at most 511
// characters, terminated) through all seven parsers, which must keep every text field of
// the record terminated.
#include "ctl_modem.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

template <std::size_t Size>
void check_terminated(const char (&field)[Size])
{
    if (field[Size - 1] != '\0')
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    char answer[MODEM_ANSWER_SIZE];
    std::size_t length = std::min(size, sizeof answer - 1);
    std::memcpy(answer, data, length);
    answer[length] = '\0';

    ModemInfoRecord record = modem_initial_record();
    for (auto parse : {modem_parse_csq, modem_parse_creg, modem_parse_cops, modem_parse_qccid, modem_parse_cimi,
                       modem_parse_qeng, modem_parse_qnwinfo})
        parse(answer, record);
    check_terminated(record.iccid);
    check_terminated(record.imsi);
    check_terminated(record.operator_name);
    if (record.status != 1)
        __builtin_trap();  // only the query itself says the modem answered
    return 0;
}
