// tools/simulator/sessioninfo.h: the session-info text of the race.
//
// An indented "Key: value" text of about 90 KB: the event and track, the
// three sessions of the weekend (practice, qualifying, and the race last,
// with live results), the entry list with the player's car index, the
// cameras, the radio and the player's car setup. The race session is the
// last block and is followed by a blank line. Every result entry reads
//   " - Position: <place>\n   ClassPosition: ..\n   CarIdx: <car>\n ...
//     FastestTime: <s>\n   LastTime: <s>\n ..."
// with -1.0000 for a time not yet set.
#pragma once

constexpr int INFO_TEXT_SIZE = 0x20000;    // the text and its terminator

// Builds the text of the race as it stands into `buf` (at most `size`
// bytes, terminator included) and returns its length; a text that would not
// fit is cut at the end of the last whole line that does.
int Info_Build(char* buf, int size);
