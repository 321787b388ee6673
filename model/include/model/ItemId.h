#pragma once
// The character that joins device, group and tag names into an item ID.

constexpr char kItemDelimiter = '.';
