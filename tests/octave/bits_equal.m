function same = bits_equal(a, b)
  % True when A and B have the same size and every element the same bits.
  same = isequal(size(a), size(b)) && ...
         isequal(typecast(double(a(:)), 'uint64'), typecast(double(b(:)), 'uint64'));
end
