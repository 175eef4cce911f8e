#include "feed_records.hpp"

#include <cstddef>
#include <optional>
#include <vector>

#include "py_ref.hpp"
#include "python_values.hpp"

namespace varnok_binding {
namespace {

// A list of one tuple per item, each made by `row` (null on failure).
template <class T, class Row>
Ref list_of(const std::vector<T>& items, Row row) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = row(items[i]);
    // PyList_SetItem steals the reference, even when it fails.
    if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) {
      return Ref();
    }
  }
  return list;
}

PyObject* candle(const mellix::Candle& c) {
  return Py_BuildValue("(Lddddd)", static_cast<long long>(c.ts), c.open, c.high, c.low, c.close,
                       c.volume);
}

PyObject* level(const mellix::PriceLevel& l) {
  return Py_BuildValue("(dd)", l.price, l.qty);
}

PyObject* funding(const mellix::FundingPoint& p) {
  return Py_BuildValue("(Ld)", static_cast<long long>(p.ts), p.rate);
}

PyObject* open_interest(const mellix::OiPoint& p) {
  return Py_BuildValue("(Ld)", static_cast<long long>(p.ts), p.oi);
}

PyObject* liquidation(const mellix::Liquidation& l) {
  const char* side = l.side == mellix::LiquidationSide::Long ? "long" : "short";
  return Py_BuildValue("(Lsdd)", static_cast<long long>(l.ts), side, l.price, l.qty);
}

Ref book(const std::optional<mellix::OrderbookL2>& book) {
  if (!book) return Ref(Py_NewRef(Py_None));
  Ref bids = list_of(book->bids, level);
  Ref asks = list_of(book->asks, level);
  if (!bids || !asks) return Ref();
  return Ref(Py_BuildValue("(LOO)", static_cast<long long>(book->ts), bids.get(), asks.get()));
}

PyObject* snapshot(const mellix::FeedSnapshot& s) {
  Ref symbol(new_str(s.symbol));
  Ref parts[] = {list_of(s.candles, candle), book(s.orderbook), list_of(s.funding, funding),
                 list_of(s.open_interest, open_interest), list_of(s.liquidations, liquidation)};
  if (!symbol) return nullptr;
  for (const Ref& part : parts) {
    if (!part) return nullptr;
  }
  return PyTuple_Pack(6, symbol.get(), parts[0].get(), parts[1].get(), parts[2].get(),
                      parts[3].get(), parts[4].get());
}

}  // namespace

PyObject* feed_map_to_dict(const mellix::FeedMap& feeds) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : feeds) {
    Ref name(new_str(key));
    Ref record(snapshot(value));
    if (!name || !record || PyDict_SetItem(dict.get(), name.get(), record.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

}  // namespace varnok_binding
