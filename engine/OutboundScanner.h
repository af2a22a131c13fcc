// One outbound pass: every XML file of the outbound folder (or of the per-login subfolders) that
// nobody else holds open is queued with an upload ticket, or set aside in the bad folder when it
// names no participant. At every moment each document is in exactly one place: the outbound
// folder, the queue folder with its ticket, or the bad folder.
#pragma once

namespace zel {

struct CPConfig;

void ScanOutbound(const CPConfig& config);

}  // namespace zel
