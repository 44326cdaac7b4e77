// What a disk's partition table says of itself and of each partition, which
// the kernel keeps to itself: the table's kind and id, each partition's id
// and (GPT) name, named and formed as `blkid -p` gives them (PTTYPE, PTUUID,
// PART_ENTRY_UUID, PART_ENTRY_NAME).
//
// Only reads, and never past the end of the device: the first sector, the
// GPT header and its entry array (the backup ones at the end of the device
// when those are damaged), and one sector per logical MBR partition. A
// table that makes no sense gives no table, never a guess.

#ifndef PYXO_PROBE_PARTITION_TABLE_H
#define PYXO_PROBE_PARTITION_TABLE_H

#include <string>
#include <vector>

struct partition_entry {
    // As the kernel numbers it: a GPT entry's slot plus one; an MBR's
    // primary slots 1 to 4, its logical partitions from 5 in chain order.
    int number = 0;
    std::string uuid;  // "" when the table gives none (an MBR with id 0)
    std::string name;  // GPT only: UTF-8, trailing blanks dropped
};

struct partition_table {
    const char *type = nullptr;            // "dos" or "gpt" (constant strings); null: none
    std::string uuid;                      // "" when the table has none
    std::vector<partition_entry> entries;  // in number order, numbers up to 256
};

// Fills *table from the disk open at `fd` (a block device, or an image file
// standing in for one); returns 1 when it found a table, else 0 with
// *table empty. The descriptor stays open.
int partition_table_read_fd(int fd, partition_table *table);

#endif
