// The data-transfer actions on a link: each one a command with bRequest 0xCC
// and the action as wValue, followed by the camera's verdict on it. Every
// function logs under the name of the exported call it implements.
#pragma once

#include <torvi/torvi_transfer.h>

#include <cstdint>
#include <span>

namespace torvi::transfer {

// Sends action 1, 4, 6 or 7 (the record's type follows the action; `data`
// is the chunk's bytes for action 6). 1 or -1.
int send_action(torvi_ll_t *ll, uint8_t action, const void *record, const uint8_t *data);
// Reads an acknowledgement (action 4 or 5): 1, 0 (sending phase failed) or
// -1 (receiving phase failed); 1 without a transfer for other actions.
int read_ack(torvi_ll_t *ll, uint8_t action, torvi_data_ack_t &ack);
// Sends `record`, then receives as many bytes into it.
bool exchange_info(torvi_ll_t *ll, uint8_t action, std::span<uint8_t> record);
// Asks for the information of block `type`.
bool get_info(torvi_ll_t *ll, uint8_t type, torvi_data_info_t &info);
// Receives the next `buf.size()` (1..450) payload bytes.
bool get_payload(torvi_ll_t *ll, std::span<uint8_t> buf);

}  // namespace torvi::transfer
