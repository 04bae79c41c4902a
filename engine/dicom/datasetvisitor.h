#pragma once

#include "engine/dicom/characterset.h"
#include "engine/dicom/elementwalk.h"

#include <gdcmDataElement.h>
#include <gdcmDataSet.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmSmartPointer.h>

#include <string>

// A walk over a data set and, where the caller asks for it, the items of its sequences. The
// walk owns what every such walk repeats: the character set that holds in each data set, the
// key of where an element stands (ElementWalk::appendTag / appendItem), the depth and its
// limit (DicomFacts::maxSequenceDepth), and entering a sequence's items. The caller decides,
// element by element, what to do: look at it, change it, walk into its items or not.
//
// Changing while walking: element() may change an element's value and VR in place, never its
// tag, which orders the data set the walk is in (CleanupCommon::mutableElement); removals and
// insertions wait for end(), when the walk over that data set is over. A sequence's items may
// be replaced before enter() is called for them, never during it.
//
// One walk at a time per object; not thread-safe, but each thread may have its own.
class DataSetVisitor
{
public:
    // Where the walk stands.
    struct Place
    {
        const gdcm::DataSet &dataSet; // the data set the element stands in
        const CharacterSet &charset; // the character set that holds in it
        const std::string &key; // the element's key; in begin() and end(), the data set's;
                                // always empty with Keys::None
        int depth; // 0 for the top level, one more in each item
    };

    // Whether the walk keeps the key of where it stands: a walk that never reads it spares
    // the work on every element.
    enum class Keys : bool { Kept, None };

    explicit DataSetVisitor(Keys keys = Keys::Kept) : m_keys(keys) { }
    virtual ~DataSetVisitor() = default;

    // Walks a data set at the top level: depth 0, an empty key, `around` as the character set
    // where the data set states none. True when end() said it changed.
    bool walk(const gdcm::DataSet &dataSet, const CharacterSet &around = CharacterSet());

    // Walks the items of a sequence that stands at `from`, an element of another walk (this
    // one takes its key, depth and character set on from there). See enter().
    bool walkItems(gdcm::SequenceOfItems &items, const Place &from);

    // A sequence's items, parsed or kept by GDCM as bytes (then parsed into a new sequence that
    // is not put back); null for any other element (ElementWalk::itemsOf).
    static gdcm::SmartPointer<gdcm::SequenceOfItems> itemsOf(const gdcm::DataElement &element,
                                                             const gdcm::DataSet &owner)
    {
        return ElementWalk::itemsOf(element, owner);
    }

    // True once enter() met items at the depth limit, which it did not walk. The structural
    // check refuses a file nested that deep, but not inside a value GDCM kept as bytes (VR UN,
    // a defined length in implicit VR), whose items are only parsed here.
    bool metItemsBeyondLimit() const { return m_itemsBeyondLimit; }

    // Called from element(), with the place this walk gave it: walks the items of `items`, the
    // value of the element there, each one level deeper with its index in the key. Nothing at
    // the depth limit. True when end() said some item changed; each item that did is written
    // with its length made anew (the sequence's own length, and its element's, are the
    // caller's to mark).
    bool enter(gdcm::SequenceOfItems &items, const Place &place);

protected:
    // A data set is about to be walked (an item's, or the top level).
    virtual void begin(const Place &) { }
    // One element of the data set, in the data set's order, with the key standing at it.
    virtual void element(const gdcm::DataElement &element, const Place &place) = 0;
    // The data set has been walked. True when the caller changed it: the item that holds it
    // is then written with its length made anew.
    virtual bool end(const Place &) { return false; }

private:
    // True where enter() walks no deeper: the element stands at the depth limit.
    static bool atLimit(const Place &place);
    bool walkDataSet(const gdcm::DataSet &dataSet, const CharacterSet &around, int depth);

    const Keys m_keys;
    std::string m_key;
    bool m_itemsBeyondLimit = false;
};
