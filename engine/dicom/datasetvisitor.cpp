#include "engine/dicom/datasetvisitor.h"

#include "engine/dicom/dicomfacts.h"

bool DataSetVisitor::walk(const gdcm::DataSet &dataSet, const CharacterSet &around)
{
    m_key.clear();
    return walkDataSet(dataSet, around, 0);
}

bool DataSetVisitor::walkItems(gdcm::SequenceOfItems &items, const Place &from)
{
    if (m_keys == Keys::Kept)
        m_key = from.key;
    return enter(items, { from.dataSet, from.charset, m_key, from.depth });
}

bool DataSetVisitor::atLimit(const Place &place)
{
    return place.depth >= DicomFacts::maxSequenceDepth;
}

bool DataSetVisitor::walkDataSet(const gdcm::DataSet &dataSet, const CharacterSet &around,
                                 int depth)
{
    const CharacterSet charset = ElementWalk::characterSet(dataSet, around);
    const Place here{ dataSet, charset, m_key, depth };
    begin(here);
    if (m_keys == Keys::None) {
        for (const gdcm::DataElement &each : dataSet.GetDES())
            element(each, here);
        return end(here);
    }
    for (const gdcm::DataElement &each : dataSet.GetDES()) {
        const size_t mark = m_key.size();
        ElementWalk::appendTag(m_key, each.GetTag());
        element(each, here);
        m_key.resize(mark);
    }
    return end(here);
}

bool DataSetVisitor::enter(gdcm::SequenceOfItems &items, const Place &place)
{
    if (atLimit(place)) {
        m_itemsBeyondLimit = m_itemsBeyondLimit || items.GetNumberOfItems() > 0;
        return false;
    }
    bool changed = false;
    const size_t mark = m_key.size();
    for (gdcm::SequenceOfItems::SizeType i = 1; i <= items.GetNumberOfItems(); ++i) {
        gdcm::Item &item = items.GetItem(i);
        if (m_keys == Keys::Kept)
            ElementWalk::appendItem(m_key, static_cast<quint32>(i - 1));
        if (walkDataSet(item.GetNestedDataSet(), place.charset, place.depth + 1)) {
            item.SetVLToUndefined();
            changed = true;
        }
        m_key.resize(mark);
    }
    return changed;
}
