// Integrity check of an open container: reads the header, the free-space
// bitmaps, the directory chain and every file's page map from disk, follows
// every page they name and compares what is really used with what the
// bitmaps say. It reports problems as texts and never raises: a damaged
// container yields a list of findings, not an exception.
//
// Checks, in order:
//   1. Header: signature and HeaderChecksum of the 256 bytes on disk, and
//      that they hold the same values as the open container's header.
//   2. Free-space bitmaps: every PFS, GAM and SGAM page reads (checksum) and
//      holds the bits the open container works with; no extent is marked
//      wholly free (GAM) while it has used pages, or both free and mixed.
//   3. Directory: the chain of DirPageCount pages from FirstDirPageNo (no
//      loop, every page inside the container and readable), the first
//      DirItemCount items (sizes, parents, deleted items own no pages).
//   4. Page maps: every file's chain of map pages and its data pages, each
//      page inside the container, readable with a correct checksum and of
//      the right page type, and no longer than the file's Size needs.
//   5. Reachability: every page named by 2-4 is named once and marked used;
//      every page marked used is named by one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivo {

class TPagybox;

// The problems found in `box`, one text each; empty when the container is
// sound. At most `maxProblems` texts are listed; when more were found the
// last text says how many were left out. Flushes nothing and changes nothing.
std::vector<std::string> CheckContainer(TPagybox& box, std::size_t maxProblems = 1000);

// The pages of `box` marked used that nothing refers to (a process that died
// between allocating pages and naming them in a page map leaves such pages),
// when they are all that is wrong with the container. Empty when anything
// else is found: a damaged map or directory page could be what names them.
// Reads the directory, the bitmaps and every page map, not the data pages.
std::vector<std::int32_t> UnreferencedPages(TPagybox& box);

}  // namespace kivo
