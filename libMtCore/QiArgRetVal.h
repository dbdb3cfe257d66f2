// QiArgRetVal: the generator's argument map.
//
// An ordered map from text key to text value, keys case-sensitive and sorted
// byte-wise (unsigned). Every request, pattern setting, alias, option
// description and most replies are one. Values always travel as text; typed
// reads and writes convert at the edges, always in the C locale. Copied by
// value between layers and threads; a map has no lock of its own.
#pragma once

#include <map>
#include <string>

class QiArgRetVal {
public:
    using Map = std::map<std::string, std::string>;
    using const_iterator = Map::const_iterator;

    QiArgRetVal() = default;

    // Writers replace an existing value or add the entry; all return true.
    bool set(char const* key, char const* value);
    bool set(std::string const& key, std::string const& value);
    bool set(char const* key, int value);    // "%d"
    bool set(char const* key, double value); // "%f": six decimals, the whole text

    // Readers return false and leave *out alone when the key is absent.
    bool find(char const* key, int* out) const;          // strtol base 0, low 32 bits
    bool find(char const* key, unsigned int* out) const; // strtoul base 0, low 32 bits
    bool find(char const* key, double* out) const;       // strtod
    bool find(char const* key, bool* out) const;         // "true"/"yes"/"1" prefixes
    // As the const form; "toggle" negates the caller's *out and stores the result.
    bool find(char const* key, bool* out);
    bool find(char const* key, char const** out) const; // valid while the entry lives
    bool find(std::string const& key) const;

    bool remove(char const* key);
    // Adds the entries of `other` whose keys are missing here; `flag` has no effect.
    bool merge(QiArgRetVal const& other, bool flag = false);
    // The value of "Pattern", or null.
    char const* Pattern() const;
    // Writes the map through gOutput at level Info.
    void dump(char const* title) const;
    void clear() { map_.clear(); }

    size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    const_iterator begin() const { return map_.begin(); }
    const_iterator end() const { return map_.end(); }

    bool operator==(QiArgRetVal const& o) const { return map_ == o.map_; }
    bool operator!=(QiArgRetVal const& o) const { return map_ != o.map_; }

private:
    Map map_;
};
