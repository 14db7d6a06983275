#include "platform/offline/component_listing.h"

namespace tessaly::offline {

ComponentListing::Span ComponentListing::Append(std::u16string_view text) {
  const Span span{text_.size(), text.size()};
  text_.append(text);
  return span;
}

void ComponentListing::Add(std::u16string_view path, std::span<const DirectoryEntry> entries) {
  directories_.push_back({Append(path), {entries_.size(), entries.size()}});
  for (const DirectoryEntry& entry : entries) entries_.push_back({Append(entry.name), entry.attributes});
}

std::optional<ComponentListing::Range> ComponentListing::Find(std::u16string_view path) const {
  for (std::size_t looked = 0; looked < directories_.size(); ++looked) {
    const std::size_t index = (nextDirectory_ + looked) % directories_.size();
    if (Text(directories_[index].path) == path) {
      nextDirectory_ = index + 1;
      return directories_[index].entries;
    }
  }
  return std::nullopt;
}

void ComponentListing::CopyEntry(std::size_t index, DirectoryEntry* entry) const {
  entry->name.assign(EntryName(index));
  entry->attributes = entries_[index].attributes;
}

std::u16string_view ComponentListing::EntryName(std::size_t index) const { return Text(entries_[index].name); }

}  // namespace tessaly::offline
