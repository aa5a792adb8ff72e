#pragma once
// The agent's data folders (data_root and the folders below it) as folders of its own: made by
// the agent with its descriptor in the same call, or found with a descriptor that gives no
// other account a right to change them. A folder that is not provably the agent's own is
// never used, changed or emptied: it is moved aside whole, and a fresh one takes its place.
//
// An own folder is judged, never held: only SYSTEM and Administrators may delete it or delete
// within its parent, so no other account can rename or replace it while the agent works in
// it. The agent's opens of a folder ask only for access that no other opener's sharing can
// refuse and that breaks no oplock (reading its attributes and descriptor, and setting the
// descriptor where it makes a folder private), so nothing another process holds on a data
// folder can fail or stall them. Only a folder that is not its own is opened for DELETE, to be
// moved aside. Every open of a folder that may be another account's fails rather than wait
// for that account's oplock (FILE_COMPLETE_IF_OPLOCKED), and follows no link.

#include <optional>
#include <string>
#include <string_view>

#include "common/bounded_claim.h"
#include "common/log.h"
#include "common/serial_worker.h"

namespace qel::win {

using qel::Claim;

// The one worker on which this process's claims run, one at a time (two that met the same
// foreign folder would otherwise both move it, the second from where the first put it). Each
// caller waits for its claim at most kClaimBound, the claims before it included; whatever
// else runs there holds up every claim as long as it runs.
SerialWorker& claim_worker();

// Claims data_root and, when `sub` is not empty, its folder of that name, in that order. A
// missing folder is created with the agent's private descriptor, and never through a link that
// stands in its place. An existing one is judged on a handle opened without following a link:
// - the agent's own (owner SYSTEM, Administrators or this process's user; no other account
//   may change it or what is made in it): used as it is; one that still lets others read is
//   given the private descriptor;
// - a link (symbolic link, junction, any reparse point): refused, never followed or moved;
//   the error names it;
// - anything else, a folder that cannot even be judged included: renamed aside whole within
//   its parent to "<name>.untrusted-<UTC time>" (a note names both names) and made anew.
//   Nothing in it is touched or deleted. When the rename fails, so does the claim, with an
//   error that names the folder and the reason.
// A file of the agent's own in a folder's place, and a failed creation, are the system's error
// under `create_context`, when that is not empty. Folders missing above data_root are created
// as they are, and nothing above data_root is changed.
//
// The caller waits at most kClaimBound (see run_claim): then the claim is an error that names
// the folder, and a claim that still runs logs what it moves aside under `target`. The move
// aside is the step that can wait for another process; it is interrupted (CancelSynchronousIo)
// when the caller stops waiting.
Claim claim_data_folder(std::wstring_view sub, log::Target target,
                        const std::string& create_context = {});

// The path of data_root's folder `sub` when both exist and are the agent's own; nothing
// otherwise. Nothing is created, moved or changed, and nothing is logged.
std::optional<std::wstring> find_own_data_folder(std::wstring_view sub);

// At the agent's start: claims data_root, judged once, and then each of its own folders that
// exists already, so that what is not the agent's own is moved aside before anything is
// written there. What the claims did, and a folder that cannot be claimed, are WARN events
// under `target`, logged as they happen; a caller that waited kClaimBound logs one WARN
// "data folder: cannot claim ..." and returns, while the claims go on.
void claim_existing_data_folders(log::Target target);

}  // namespace qel::win
