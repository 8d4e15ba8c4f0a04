#pragma once
// A radio matrix: rows × columns of cells of which exactly one is selected
// (row 0, column 0 at first); its action runs when the user picks a cell.
// Main thread only.

#include <string>
#include <vector>

#include "ui/Control.h"

namespace ui {

class Matrix : public Control {
 public:
  int numberOfRows() const { return rows_; }
  int numberOfColumns() const { return columns_; }
  int selectedRow() const { return row_; }
  int selectedColumn() const { return column_; }

  // Selects the cell; a cell outside the matrix leaves the selection as it
  // was and returns false.
  bool selectCell(int row, int column) {
    if (!contains(row, column)) return false;
    row_ = row;
    column_ = column;
    updateView();
    return true;
  }

  // Cell titles, row by row.
  std::string cellTitle(int row, int column) const {
    return contains(row, column) ? titles_[static_cast<std::size_t>(row * columns_ + column)] : std::string();
  }

 protected:
  // rows and columns of at least 1; titles row by row (missing ones empty).
  Matrix(int rows, int columns, std::vector<std::string> titles = {})
      : rows_(rows < 1 ? 1 : rows), columns_(columns < 1 ? 1 : columns), titles_(std::move(titles)) {
    titles_.resize(static_cast<std::size_t>(rows_ * columns_));
  }
  // For bindings and fakes: the user picked a cell.
  void userSelected(int row, int column) {
    if (!contains(row, column)) return;
    row_ = row;
    column_ = column;
    sendAction();
  }

 private:
  bool contains(int row, int column) const { return row >= 0 && row < rows_ && column >= 0 && column < columns_; }
  int rows_;
  int columns_;
  std::vector<std::string> titles_;
  int row_ = 0;
  int column_ = 0;
};

}  // namespace ui
